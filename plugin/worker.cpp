// PLACEHOLDER: replaced by the event intake and worker loop.
#include "plugin/plugin.hpp"

void *tfaPlugin::Entry() { return nullptr; }
void tfaPlugin::DispatchProcessorEvent(tdPluginProcessor::Event, tdFlowMap *) {}
void tfaPlugin::DispatchProcessorEvent(tdPluginProcessor::Event, std::shared_ptr<tdFlow> &) {}
void tfaPlugin::DispatchProcessorEvent(tdPluginProcessor::Event, std::shared_ptr<tdFlow> &, json &) {}
void tfaPlugin::DispatchProcessorEvent(tdPluginProcessor::Event) {}
