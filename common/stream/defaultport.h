// The UDP port the gateway sends its datagrams to, and busdump listens on, when none is given.
#pragma once

#include <cstdint>

constexpr int32_t DEFAULT_PORT = 57117;
