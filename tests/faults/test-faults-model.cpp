// SPDX-License-Identifier: GPL-3.0-or-later
// A damaged model folder: the instance says so and works on without speech recognition.
// libvosk leaks what it had read when a model fails to load; this suite runs with
// suppressions for exactly that (see CMakeLists.txt), so the others keep a strict leak check.
#include "fault-server.hpp"
#include "host-instance.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

namespace fs = std::filesystem;
using faults::FaultServer;
using faults::Instance;
using testhost::Log;

namespace {

class HostFaults : public testing::Test {
protected:
	static void SetUpTestSuite() { Log::install(); }
};

TEST_F(HostFaults, DamagedModelLeavesAWorkingUploader)
{
	FaultServer server([](size_t) { return FaultServer::Behaviour{}; });
	struct Damage {
		const char *what;
		std::function<void(const std::string &)> apply;
		const char *line;
	};
	const Damage damages[] = {
	    {"empty am/final.mdl", [](const std::string &m) { fs::resize_file(m + "/am/final.mdl", 0); },
	     "[Vosk] Failed to load model from: "},
	    {"am/final.mdl cut in its header", [](const std::string &m) { fs::resize_file(m + "/am/final.mdl", 100); },
	     "[Vosk] Failed to load model from: "},
	    {"am/final.mdl cut in its matrices",
	     [](const std::string &m) { fs::resize_file(m + "/am/final.mdl", 4000); },
	     "[Vosk] Failed to load model from: "},
	    {"graph/HCLG.fst cut", [](const std::string &m) { fs::resize_file(m + "/graph/HCLG.fst", 300); },
	     "[Vosk] Failed to load model from: "},
	    {"no graph/words.txt", [](const std::string &m) { fs::remove(m + "/graph/words.txt"); },
	     "[Vosk] Failed to load model from: "},
	    // libvosk would abort OBS on its first final result: refused before it is loaded.
	    {"no graph/phones/word_boundary.int",
	     [](const std::string &m) { fs::remove(m + "/graph/phones/word_boundary.int"); },
	     "[Vosk] Refusing the model: libvosk cannot decode without "},
	    // The model itself loads, but no recogniser can be made from it.
	    {"no graph/HCLG.fst", [](const std::string &m) { fs::remove(m + "/graph/HCLG.fst"); },
	     "[Vosk] Failed to create a recognizer from the model: "},
	};
	for (const Damage &damage : damages) {
		SCOPED_TRACE(damage.what);
		testhost::HostOptions options;
		options.model = "model-ru";
		testhost::ObsHost host(options);
		damage.apply(host.data_dir() + "/model");
		Log::clear();
		{
			Instance instance(server.url());
			EXPECT_TRUE(Log::wait_for(damage.line)) << "the model loads in the background";
			EXPECT_EQ(Log::count(damage.line, LOG_ERROR), 1u);
			const size_t before = server.complete_requests();
			instance.press();
			instance.push(testhost::tone(440, 0.5));
			instance.push(testhost::tone(0, 0.2));
			instance.press();
			EXPECT_TRUE(Log::wait_for("[Brisvane] Temporary file deleted: "));
			EXPECT_EQ(server.complete_requests(), before + 1);
		}
		testhost::ObsHost::barrier();
	}
}

} // namespace
