// SPDX-License-Identifier: GPL-3.0-or-later
#include "obs-host.hpp"

#include <gtest/gtest.h>

TEST(ModuleLoad, RegistersTheSourceType)
{
	testhost::ObsHost host;
	EXPECT_STREQ(obs_source_get_display_name("brisvane"), "Kavrel Assistant Uploader");
	EXPECT_EQ(obs_get_source_output_flags("brisvane"), uint32_t(OBS_SOURCE_DO_NOT_DUPLICATE));
}
