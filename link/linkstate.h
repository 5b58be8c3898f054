#pragma once

// Whether the device answers keep-alive pings.
enum LinkState : int {
    LinkDown = 0,
    LinkConnecting = 1,
    LinkUp = 2,
};

constexpr int LinkTimeoutMs = 12000;
constexpr int PingIntervalMs = 1000;
