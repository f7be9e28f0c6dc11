// PLACEHOLDER: replaced by configuration loading.
#include "plugin/plugin.hpp"

void tfaPlugin::LoadConfig() {}
void tfaPlugin::LoadTargets(const json &, const json &) {}
void tfaPlugin::LoadActions(const json &) {}
void tfaPlugin::LoadExemptions(const json &) {}
