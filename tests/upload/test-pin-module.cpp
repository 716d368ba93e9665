// SPDX-License-Identifier: GPL-3.0-or-later
// Upload threads may outlive the plug-in: once pinned, unloading it must leave it mapped.
#include <dlfcn.h>

#include <gtest/gtest.h>

namespace {

bool loaded(const char *path)
{
	void *handle = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
	if (handle)
		dlclose(handle);
	return handle != nullptr;
}

TEST(PinModule, KeepsTheObjectMappedAfterItsLastClose)
{
	const char *path = BRISVANE_PIN_PROBE;
	// Unpinned, the last close unmaps it: the check below can tell the difference.
	void *handle = dlopen(path, RTLD_NOW);
	ASSERT_NE(handle, nullptr) << dlerror();
	dlclose(handle);
	ASSERT_FALSE(loaded(path));

	handle = dlopen(path, RTLD_NOW);
	ASSERT_NE(handle, nullptr) << dlerror();
	auto pin = reinterpret_cast<void (*)()>(dlsym(handle, "probe_pin"));
	ASSERT_NE(pin, nullptr);
	pin();
	pin(); // later uploads pin nothing more
	dlclose(handle);
	EXPECT_TRUE(loaded(path));
}

} // namespace
