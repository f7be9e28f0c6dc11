// PLACEHOLDER: replaced by the action implementation.
#include "rules/action.hpp"

tfaAction::~tfaAction() = default;
