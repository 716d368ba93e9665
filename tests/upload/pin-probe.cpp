// SPDX-License-Identifier: GPL-3.0-or-later
// A loadable object that pins itself the way the plug-in does at its first upload.
#include "platform/files.hpp"

extern "C" __attribute__((visibility("default"))) void probe_pin()
{
	platform::pin_module();
}
