#pragma once
// Threads of a scan that are never joined: a reader or a helper stuck in a file system that does
// not answer is left to end on its own, holding only what it shares with whoever started it.
// They are counted, so that an owner can wait a little for them and a test for all of them.
#include <chrono>
#include <functional>

namespace kvor::platform::detached {

// Runs `body` on a thread of its own; false when no thread (or no memory for one) could be had.
// What `body` holds is let go before the thread counts as ended.
bool Start(std::function<void()> body);
// Until `done` holds (asked again whenever such a thread ends), at most `timeout`; whether it holds.
bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
// Until every such thread has ended; for tests.
void WaitAllGone();

}  // namespace kvor::platform::detached
