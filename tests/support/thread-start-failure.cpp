// SPDX-License-Identifier: GPL-3.0-or-later
#include "thread-start-failure.hpp"

#include <dlfcn.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>

namespace {
std::atomic<bool> failing{false};
}

namespace testhost {
void fail_thread_starts(bool fail)
{
	failing = fail;
}
} // namespace testhost

// Interposes the C library's (or a sanitizer's) pthread_create for the whole process.
extern "C" __attribute__((visibility("default"))) int pthread_create(pthread_t *thread, const pthread_attr_t *attr,
								     void *(*start)(void *), void *arg)
{
	using Fn = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
	static Fn next = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "pthread_create"));
	if (failing)
		return EAGAIN;
	return next(thread, attr, start, arg);
}
