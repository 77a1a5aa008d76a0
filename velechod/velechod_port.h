// The echo service's port, shared by its TCP and UDP sides.
#pragma once

constexpr int ECHO_PORT = 10007;
