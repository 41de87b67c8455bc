// The application driver of busgated: builds the gateway's objects, runs the watch loop and
// takes everything down in order.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>

#include "gateway/appcfg.h"

class Linkscope;

// Run flag of the watch loop: cleared by the signal and service control handlers.
extern std::atomic<int32_t> running;
static_assert(std::atomic<int32_t>::is_always_lock_free, "the signal handler writes the run flag");

// The log stream: the log file when one is named and opens, standard output otherwise.
extern FILE* flog;

// 0 after a run that started the card and was stopped on request; 1 when the card was not
// found, could not be started, an object could not be built, or the card was lost.
int app(app_cfg& config);

// Polls `running` and the card every 100 ms. -1 at once for an empty pointer or when the card
// handle was found closed, 0 when the flag was cleared from outside.
// `on_round`, when set, is called on every round of the loop (service reports).
int gateway_task(std::shared_ptr<Linkscope> card, const std::function<void()>& on_round = {});
