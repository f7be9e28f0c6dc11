// PLACEHOLDER: replaced by the pf table target implementation.
#include "targets/pftable_config.hpp"

tfaTargetPFtableConfig::~tfaTargetPFtableConfig() = default;
bool tfaTargetPFtableConfig::Open() { return false; }
bool tfaTargetPFtableConfig::IsRunning() { return false; }
bool tfaTargetPFtableConfig::Close() { return false; }
void tfaTargetPFtableConfig::SetDevice(const std::string &path) { device = path; }
