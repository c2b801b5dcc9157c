// Version of the plug-in interface: the layout of IKorvaCustomClass (its
// virtual slots and data members) and of the records CustomParams and
// CustomObject. A host passes the version it was compiled against to a
// plug-in's create entry point, which refuses any other, so a host and a
// plug-in built from different interface headers never meet.
//
// Raised whenever a change to those headers breaks binary compatibility.
#pragma once

#define KORVA_PLUGIN_INTERFACE_VERSION 1u

namespace korva {

constexpr unsigned kPluginInterfaceVersion = KORVA_PLUGIN_INTERFACE_VERSION;

}  // namespace korva
