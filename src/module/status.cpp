// SPDX-License-Identifier: GPL-3.0-or-later
#include "module/status.hpp"

#include "module/callback-guard.hpp"
#include "module/source-context.hpp"

#include <ctime>
#include <initializer_list>
#include <memory>

namespace {

// The locale's sentence with %1, %2 ... filled in: the text comes from a file, so it is never
// used as a printf format.
std::string say(const char *key, std::initializer_list<std::string> values = {})
{
	std::string text = obs_module_text(key);
	size_t n = 1;
	for (const std::string &value : values) {
		const std::string mark = "%" + std::to_string(n++);
		const size_t at = text.find(mark);
		if (at != std::string::npos)
			text.replace(at, mark.size(), value);
	}
	return text;
}

std::string clock_time(int64_t seconds)
{
	const std::time_t t = std::time_t(seconds);
	std::tm local{};
#ifdef _WIN32
	localtime_s(&local, &t);
#else
	localtime_r(&t, &local);
#endif
	char text[16] = "";
	std::strftime(text, sizeof(text), "%H:%M", &local);
	return text;
}

std::string answer_words(uint32_t status)
{
	return status ? "HTTP " + std::to_string(status) : say("Brisvane.Status.NoAnswer");
}

std::string source_line(SourceContext *ctx)
{
	std::string name;
	bool attached = false;
	{
		std::lock_guard<std::mutex> lock(ctx->mutex);
		name = ctx->target_source_name;
		if (ctx->target) {
			if (obs_source_t *source = obs_weak_source_get_source(ctx->target)) {
				attached = true;
				obs_source_release(source);
			}
		}
	}
	std::string line = name.empty() ? say("Brisvane.Status.NoSource")
			   : attached   ? say("Brisvane.Status.Listening", {name})
					: say("Brisvane.Status.WaitingForSource", {name});
	std::string speech;
	switch (ctx->speech_setup) {
	case SourceContext::SpeechSetup::NoLibrary:
		speech = say("Brisvane.Status.NoLibrary");
		break;
	case SourceContext::SpeechSetup::NoModel:
		speech = say("Brisvane.Status.NoModel", {ctx->model_folder});
		break;
	case SourceContext::SpeechSetup::NotStarted:
		speech = say("Brisvane.Status.ModelFailed");
		break;
	case SourceContext::SpeechSetup::Started:
		switch (ctx->takes ? ctx->takes->speech() : TakePipeline::Speech::Off) {
		case TakePipeline::Speech::Ready:
			speech = say("Brisvane.Status.ModelReady");
			break;
		case TakePipeline::Speech::Loading:
			speech = say("Brisvane.Status.ModelLoading");
			break;
		default:
			speech = say("Brisvane.Status.ModelFailed");
		}
	}
	return line + " · " + speech;
}

std::string queue_line()
{
	const DeliveryStatus q = takes_service::delivery();
	std::string parts;
	const auto add = [&](const std::string &part) { parts += (parts.empty() ? "" : "; ") + part; };
	if (q.sending + q.ready > 0)
		add(say("Brisvane.Status.Sending", {std::to_string(q.sending + q.ready)}));
	if (q.waiting > 0)
		add(say("Brisvane.Status.Retrying",
			{std::to_string(q.waiting), std::to_string((q.next_attempt_ms + 999) / 1000),
			 answer_words(q.waiting_status)}));
	if (q.held > 0)
		add(say("Brisvane.Status.Held", {std::to_string(q.held), answer_words(q.held_status)}));
	if (q.kept > 0)
		add(say("Brisvane.Status.Kept", {std::to_string(q.kept)}));
	if (parts.empty())
		add(q.last_delivery.any ? say("Brisvane.Status.AllDelivered",
					      {clock_time(q.last_delivery.at), std::to_string(q.last_delivery.status)})
					: say("Brisvane.Status.NothingSent"));
	return say("Brisvane.Status.Queue") + " " + parts;
}

const char *failure_key(ServerCheckFailure failure)
{
	switch (failure) {
	case ServerCheckFailure::NoUrl:
		return "Brisvane.Check.NoUrl";
	case ServerCheckFailure::InvalidUrl:
		return "Brisvane.Check.InvalidUrl";
	case ServerCheckFailure::InvalidToken:
		return "Brisvane.Check.InvalidToken";
	case ServerCheckFailure::NameNotFound:
		return "Brisvane.Check.NameNotFound";
	case ServerCheckFailure::Refused:
		return "Brisvane.Check.Refused";
	case ServerCheckFailure::TimedOut:
		return "Brisvane.Check.TimedOut";
	case ServerCheckFailure::Certificate:
		return "Brisvane.Check.Certificate";
	default:
		return "Brisvane.Check.Other";
	}
}

std::string check_line(const ServerCheckResult &check)
{
	if (!check.answered)
		return say("Brisvane.Status.CheckFailed", {say(failure_key(check.failure))});
	const bool refused = check.status == 401 || check.status == 403;
	return say(refused ? "Brisvane.Status.CheckRefused" : "Brisvane.Status.Checked",
		   {std::to_string(check.status), check.reason, std::to_string(check.elapsed_ms)});
}

TakeServer current_server(SourceContext *ctx)
{
	std::lock_guard<std::mutex> lock(ctx->mutex);
	return TakeServer(ctx->server_url, ctx->access_token);
}

bool on_check_server(obs_properties_t *, obs_property_t *button, void *data)
{
	auto *ctx = static_cast<SourceContext *>(data);
	bool changed = false;
	run_guarded("Checking the server", [&] {
		if (!ctx || !ctx->news)
			return;
		std::shared_ptr<ButtonNews> news = ctx->news;
		{
			std::lock_guard<std::mutex> lock(news->mutex);
			if (news->checking)
				return; // one at a time
			news->checking = true;
		}
		obs_weak_source_t *weak = obs_source_get_weak_source(ctx->source);
		const bool started =
		    takes_service::start_server_check(current_server(ctx), [news, weak](const ServerCheckResult &r) {
			    {
				    std::lock_guard<std::mutex> lock(news->mutex);
				    news->checking = false;
				    news->check = r;
			    }
			    // The window asks for its properties again; a source gone meanwhile is left alone.
			    if (obs_source_t *source = obs_weak_source_get_source(weak)) {
				    obs_source_update_properties(source);
				    obs_source_release(source);
			    }
			    obs_weak_source_release(weak);
		    });
		if (!started) {
			obs_weak_source_release(weak);
			std::lock_guard<std::mutex> lock(news->mutex);
			news->checking = false;
			return;
		}
		obs_property_set_description(button, obs_module_text("Brisvane.CheckServer.Checking"));
		changed = true;
	});
	return changed;
}

bool on_send_kept(obs_properties_t *props, obs_property_t *, void *data)
{
	auto *ctx = static_cast<SourceContext *>(data);
	bool changed = false;
	run_guarded("Sending kept takes", [&] {
		if (!ctx || !ctx->news)
			return;
		const size_t sent = takes_service::send_kept_takes_now(current_server(ctx));
		{
			std::lock_guard<std::mutex> lock(ctx->news->mutex);
			ctx->news->resent = sent;
		}
		if (obs_property_t *status = obs_properties_get(props, "status"))
			obs_property_set_description(status, status_text(ctx).c_str());
		changed = true;
	});
	return changed;
}

bool on_open_folder(obs_properties_t *, obs_property_t *, void *)
{
	run_guarded("Opening the recordings folder", [] { takes_service::open_take_folder(); });
	return false;
}

} // namespace

std::string status_text(SourceContext *ctx)
{
	std::string text = source_line(ctx);
	text += "\n" + say(ctx->takes && ctx->takes->recording() ? "Brisvane.Status.Recording"
								 : "Brisvane.Status.NotRecording");
	text += "\n" + queue_line();
	if (ctx->news) {
		std::lock_guard<std::mutex> lock(ctx->news->mutex);
		if (ctx->news->resent)
			text += "\n" + say("Brisvane.Status.Resent", {std::to_string(*ctx->news->resent)});
		if (ctx->news->checking)
			text += "\n" + say("Brisvane.CheckServer.Checking");
		else if (ctx->news->check)
			text += "\n" + check_line(*ctx->news->check);
	}
	return text;
}

void add_status_properties(obs_properties_t *props, SourceContext *ctx)
{
	bool checking = false;
	if (ctx && ctx->news) {
		std::lock_guard<std::mutex> lock(ctx->news->mutex);
		checking = ctx->news->checking;
	}
	obs_properties_add_button(props, "check_server",
				  obs_module_text(checking ? "Brisvane.CheckServer.Checking" : "Brisvane.CheckServer"),
				  on_check_server);
	obs_properties_add_button(props, "send_kept_takes", obs_module_text("Brisvane.SendKeptTakes"), on_send_kept);
	obs_properties_add_button(props, "open_recordings_folder", obs_module_text("Brisvane.OpenFolder"),
				  on_open_folder);
	// Under a key that is never stored: an info property shows a settings value of its key.
	if (ctx)
		obs_properties_add_text(props, "status", status_text(ctx).c_str(), OBS_TEXT_INFO);
}
