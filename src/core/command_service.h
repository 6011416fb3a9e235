// The command mailbox of the shared block, served once per loop iteration by the main loop:
// add a receiver (1), remove one (2), remove every RTSP receiver (3), force a format
// detection (4), reopen the transport stream socket (5, primary settings set only). Any
// other code is only acknowledged. Never blocks; reads the command's fields once each.
#pragma once

#include "core/block_view.h"

// When cmd_pending is 1: logs "[CMD] code <n>", acts on the command, then writes 0 to
// cmd_pending; otherwise does nothing. Code 4 sets *force_detect; code 5 replaces the
// socket in *ts_sock (0 = none) through remake_ts_sock.
void serve_command(const BlockView& block, bool* force_detect, int* ts_sock);
