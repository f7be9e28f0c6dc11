// PLACEHOLDER: replaced by status reporting.
#include "plugin/plugin.hpp"

void tfaPlugin::GetStatus(json &) {}
void tfaPlugin::DisplayStatus(const json &) {}
