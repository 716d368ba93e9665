// SPDX-License-Identifier: GPL-3.0-or-later
// What the Properties window tells and offers, read and clicked through libobs as the window
// does it: the status for each state of the model, the source, the recording and the shared
// delivery queue, and the three buttons.
#include "../faults/host-instance.hpp"
#include "recording-server.hpp"
#include "test-files.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace fs = std::filesystem;
using testhost::Log;

namespace {

std::string status_of(obs_source_t *source)
{
	obs_properties_t *props = obs_source_properties(source);
	obs_property_t *status = obs_properties_get(props, "status");
	const std::string text = status ? obs_property_description(status) : "";
	obs_properties_destroy(props);
	return text;
}

// Waits (within a generous bound) until the status holds `part`; returns the last one read.
std::string status_with(obs_source_t *source, const std::string &part)
{
	std::string text;
	for (int i = 0; i < 2000; ++i) {
		text = status_of(source);
		if (text.find(part) != std::string::npos)
			break;
		std::this_thread::sleep_for(std::chrono::milliseconds(10));
	}
	return text;
}

// Clicks a button the way the window does, with the properties it shows.
bool click(obs_source_t *source, const char *button, std::string *label = nullptr)
{
	obs_properties_t *props = obs_source_properties(source);
	obs_property_t *p = obs_properties_get(props, button);
	const bool changed = p && obs_property_button_clicked(p, source);
	if (label)
		*label = p ? obs_property_description(p) : "";
	obs_properties_destroy(props);
	return changed;
}

void take(faults::Instance &instance)
{
	instance.press();
	instance.push(testhost::tone(440, 0.3));
	instance.press();
}

bool contains(const std::string &text, const std::string &part)
{
	return text.find(part) != std::string::npos;
}

} // namespace

TEST(SourceStatus, TellsTheSourceTheModelAndTheRecording)
{
	{
		testhost::ObsHost host; // no model
		testutil::SourcePtr alone = testutil::create_uploader("Alone");
		EXPECT_TRUE(contains(status_of(alone.get()), "No audio source chosen · no speech model in "));
		EXPECT_TRUE(contains(status_of(alone.get()), "/model: keywords are off"));
		faults::Instance instance("");
		EXPECT_TRUE(contains(status_of(instance.uploader.get()), "Listening to Mic · "));
		EXPECT_TRUE(contains(status_of(instance.uploader.get()), "\nNot recording\n"));
		instance.press();
		EXPECT_TRUE(contains(status_of(instance.uploader.get()), "\nRecording\n"));
		instance.press();
		testutil::DataPtr elsewhere = testutil::settings_with_target("Elsewhere");
		obs_source_update(instance.uploader.get(), elsewhere.get());
		EXPECT_TRUE(contains(status_of(instance.uploader.get()), "Waiting for the audio source 'Elsewhere'"));
		// No instance, no status; the settings never hold one.
		obs_properties_t *props = obs_get_source_properties("brisvane");
		EXPECT_EQ(obs_properties_get(props, "status"), nullptr);
		obs_properties_destroy(props);
		obs_data_t *settings = obs_source_get_settings(instance.uploader.get());
		EXPECT_FALSE(obs_data_has_user_value(settings, "status"));
		obs_data_release(settings);
	}
	{
		// A model whose acoustic model is a pipe: it loads only when the test writes it.
		testhost::HostOptions options;
		options.model = "model-ru";
		testhost::ObsHost host(options);
		const std::string mdl = host.data_dir() + "/model/am/final.mdl";
		const std::string content = testhost::read_file(mdl);
		fs::remove(mdl);
		ASSERT_EQ(mkfifo(mdl.c_str(), 0600), 0);
		faults::Instance instance("");
		EXPECT_TRUE(contains(status_of(instance.uploader.get()), "Listening to Mic · speech model loading"));
		std::ofstream(mdl, std::ios::binary) << content;
		EXPECT_TRUE(contains(status_with(instance.uploader.get(), "ready"), "speech model ready"));
	}
	{
		// The module alone, without the speech library beside it.
		testhost::TempDir alone;
		testhost::HostOptions options;
		options.model = "model-ru";
		options.module_path = alone.path() + "/" + fs::path(testhost::staged_module_path()).filename().string();
		fs::copy_file(testhost::staged_module_path(), options.module_path);
		testhost::ObsHost host(options);
		faults::Instance instance("");
		EXPECT_TRUE(
		    contains(status_of(instance.uploader.get()), "speech library not loaded: keywords are off"));
	}
	{
		testhost::HostOptions options;
		options.model = "model-ru";
		testhost::ObsHost host(options);
		fs::remove(host.data_dir() + "/model/graph/words.txt");
		faults::Instance instance("");
		EXPECT_TRUE(contains(status_with(instance.uploader.get(), "failed"),
				     "speech model failed to load: keywords are off"));
	}
}

// Waiting on a 503, held on a 401, kept without a URL; then "Send Kept Takes Now" with the
// credentials fixed sends each once, to the right server with the right credentials.
TEST(SourceStatus, TellsWhatTheQueueHoldsAndSendsKeptTakesOnce)
{
	auto busy = testserver::RecordingServer::start(testserver::RecordingServer::Options{});
	auto strict = testserver::RecordingServer::start(testserver::RecordingServer::Options{});
	busy->set_mode("503");
	strict->set_mode("401");
	testhost::ObsHost host;
	faults::Instance instance("");
	obs_source_t *uploader = instance.uploader.get();
	EXPECT_TRUE(contains(status_of(uploader), "Uploads (all sources): nothing sent yet"));

	take(instance); // no URL
	EXPECT_TRUE(contains(status_with(uploader, "takes kept"), "takes kept: 1 (no server URL)"));
	testutil::DataPtr settings(obs_data_create());
	obs_data_set_string(settings.get(), "server_url", busy->url("/busy").c_str());
	obs_source_update(uploader, settings.get());
	take(instance);
	EXPECT_TRUE(contains(status_with(uploader, "waiting"), "takes waiting: 1, next attempt in "));
	EXPECT_TRUE(contains(status_of(uploader), "s (last answer: HTTP 503)"));
	obs_data_set_string(settings.get(), "server_url", strict->url("/strict").c_str());
	obs_source_update(uploader, settings.get());
	take(instance);
	EXPECT_TRUE(
	    contains(status_with(uploader, "held"), "takes held until OBS restarts: 1 (HTTP 401 from the server)"));

	// The user fixes the token and presses the button: the held take goes to its own server
	// (this source's) with the new token, the kept one goes there too, the waiting one to its own.
	strict->set_mode("200");
	busy->set_mode("200");
	obs_data_set_string(settings.get(), "access_token", "fixed");
	obs_source_update(uploader, settings.get());
	EXPECT_TRUE(click(uploader, "send_kept_takes"));
	ASSERT_TRUE(strict->wait_for_requests(3));
	ASSERT_TRUE(busy->wait_for_requests(2));
	EXPECT_TRUE(contains(status_with(uploader, "all takes delivered"), "all takes delivered (last "));
	const auto to_strict = strict->requests();
	ASSERT_EQ(to_strict.size(), 3u) << "the 401, then the held take and the kept one, once each";
	for (size_t i = 1; i < 3; ++i)
		EXPECT_EQ(testserver::parse_request(to_strict[i]).header("Authorization"), "Bearer fixed");
	EXPECT_EQ(busy->requests().size(), 2u) << "the 503, then the waiting take once";
	EXPECT_TRUE(testhost::files_in(host.recordings_dir()).empty());
}

// "Check Server" asks with OPTIONS and stores nothing; its click returns at once, a second one
// while it runs does nothing, and the status shows the answer when it comes.
TEST(SourceStatus, CheckServerAsksWithoutStoringAndOpenFolderStartsTheOpener)
{
	auto server = testserver::RecordingServer::start(testserver::RecordingServer::Options{});
	auto silent = testserver::RecordingServer::start(testserver::RecordingServer::Options{});
	silent->set_mode("silent");
	testhost::TempDir bin;
	const std::string opened = bin.path() + "/opened";
	{
		std::ofstream opener(bin.path() + "/xdg-open");
		opener << "#!/bin/sh\nprintf '%s' \"$1\" > '" << opened << "'\n";
	}
	fs::permissions(bin.path() + "/xdg-open", fs::perms::owner_all);
	const std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
	setenv("PATH", (bin.path() + ":" + path).c_str(), 1);
	{
		testhost::ObsHost host;
		faults::Instance instance(server->url("/up?key=v"));
		obs_source_t *uploader = instance.uploader.get();
		EXPECT_TRUE(click(uploader, "check_server"));
		EXPECT_TRUE(contains(status_with(uploader, "Server check:"), "Server check: HTTP 200"));
		ASSERT_EQ(server->requests().size(), 1u);
		const auto request = testserver::parse_request(server->requests()[0]);
		EXPECT_EQ(request.request_line, "OPTIONS /up?key=v HTTP/1.1");
		EXPECT_TRUE(request.body.empty());
		EXPECT_TRUE(testhost::files_in(host.recordings_dir()).empty());

		testutil::DataPtr settings(obs_data_create());
		obs_data_set_string(settings.get(), "server_url", silent->url("/never").c_str());
		obs_source_update(uploader, settings.get());
		std::string label;
		EXPECT_TRUE(click(uploader, "check_server", &label));
		EXPECT_EQ(label, "Check Server (checking…)");
		EXPECT_FALSE(click(uploader, "check_server")) << "one check at a time";
		EXPECT_TRUE(silent->wait_for_requests(1));

		EXPECT_FALSE(click(uploader, "open_recordings_folder"));
		for (int i = 0; i < 2000 && !fs::exists(opened); ++i)
			std::this_thread::sleep_for(std::chrono::milliseconds(10));
		EXPECT_EQ(testhost::read_file(opened), host.recordings_dir());
		EXPECT_TRUE(fs::is_directory(host.recordings_dir())) << "made first";
	} // the source and OBS go while the check still waits for its answer
	setenv("PATH", path.c_str(), 1);
}
