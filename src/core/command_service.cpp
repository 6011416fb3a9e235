#include "core/command_service.h"

#include "core/debug_log.h"
#include "core/shm_config.h"
#include "rtp/client_table.h"
#include "ts/ts_output.h"

void serve_command(const BlockView& block, bool* force_detect, int* ts_sock) {
    if (!shm_command_pending()) return;
    const ShmCommand cmd = shm_read_command();
    dbg_printf("[CMD] code %u\n", cmd.code);
    switch (cmd.code) {
        case 1:
            add_decoder(cmd.dest_ip, cmd.rtp_port, cmd.rtcp_port, cmd.client_tag);
            break;
        case 2:
            del_decoder(cmd.dest_ip, cmd.rtp_port);
            break;
        case 3:
            Remove_RTSP_ARClist();
            break;
        case 4:
            *force_detect = true;
            break;
        case 5:  // with the alternate settings the TS output never has a socket
            if (!use_alt_settings()) remake_ts_sock(block, ts_sock);
            break;
        default:  // 0 and codes above 5: acknowledged only
            break;
    }
    shm_command_done();
}
