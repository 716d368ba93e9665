// SPDX-License-Identifier: GPL-3.0-or-later
#include "takes/takes-service.hpp"

#include "platform/http.hpp"
#include "recognition/model-cache.hpp"
#include "store/take-paths.hpp"
#include "store/take-recovery.hpp"
#include "upload/delivery-queue.hpp"

namespace takes_service {

void start()
{
	platform::http_global_init();
	// Takes a crash or a kill left unfinished are finished on the queue's thread, before it
	// looks for takes to send.
	start_delivery(take_folder(), [](const std::string &folder) { recover_unfinished_takes(folder); });
}

void stop()
{
	stop_delivery();
	model_cache::wait_for_model_loads();
}

} // namespace takes_service
