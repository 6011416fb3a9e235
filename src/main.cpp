// audio_rtsp: the audio streaming service. Start-up in its fixed order, then one loop for
// ever on one thread: serve a command, wait for the audio feed, run what is due.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/audio_feed.h"
#include "core/audio_format.h"
#include "core/block_view.h"
#include "core/clock.h"
#include "core/command_service.h"
#include "core/debug_log.h"
#include "core/job_schedule.h"
#include "core/mailbox.h"
#include "core/shm_config.h"
#include "input/format_poll.h"
#include "input/fpga_window.h"
#include "net/udp_socket.h"
#include "rtp/client_table.h"
#include "rtp/rtcp_reports.h"
#include "rtp/rtp_packetiser.h"
#include "ts/lpcm_pes.h"
#include "ts/psi_tables.h"
#include "ts/ts_output.h"

AudioFormat current_audio_format{};

namespace {

struct LoopState {
    JobClocks last{};
    bool force_detect = false;
    int ts_sock = 0;  // 0 = no transport stream socket
};

// Sends the converted samples by output mode: RTP to every receiver in mode 1, the
// transport stream in mode 2. False when the rest of the iteration is to be skipped.
bool forward_audio(const BlockView& block, const Settings& settings, const LoopState& loop,
                   FeedBuffers& buf, std::int64_t now) {
    // The packetiser writes each header into the 12 bytes before its chunk.
    static_assert(kPcmHeadroom == kRtpHeaderBytes);
    if (settings.output_mode == 1)
        forward_audio_RTP(block, buf.pcm, buf.pcm_len, current_audio_format, applied_sample_rate);
    if (settings.output_mode == 2)
        return ts_forward_block(block, loop.ts_sock, current_audio_format, buf.pcm + kPcmHeadroom,
                                buf.pcm_len, clock_90k(now));
    return true;
}

// The due jobs in the order PSI, PCR, RTCP; each last time becomes the iteration's start.
void run_due_jobs(LoopState& loop, const DueJobs& due, std::int64_t now) {
    if (due.psi) {
        send_psi(loop.ts_sock);
        loop.last.psi = now;
    }
    if (due.pcr) {
        send_pcr(loop.ts_sock, clock_90k(now));
        loop.last.pcr = now;
    }
    if (due.rtcp) {
        send_RTCP_reports(applied_sample_rate);
        loop.last.rtcp = now;
    }
}

// On the detection period: a block removed and created again by the management process
// is followed, and every holder of a view is handed the new one.
void follow_block(BlockView& block) {
    if (shm_follow_block() != ShmFollow::replaced) return;
    block = attached_block();
    Rebind_ARClist(block);
}

const char* program_name(const char* argv0) {
    const char* slash = std::strrchr(argv0, '/');
    return slash ? slash + 1 : argv0;
}

}  // namespace

int main(int /*argc*/, char** argv) {
    if (std::strstr(program_name(argv[0] ? argv[0] : ""), "_to_screen"))
        dbg_to_screen();
    else
        dbg_to_file();
    dbg_set_logfile("/tmp/.print_audio_rtsp");

    switch (fpga_open()) {
        case FpgaOpen::mapped:
            break;
        case FpgaOpen::no_device:
            return 0;
        case FpgaOpen::misplaced:
            return 1;
    }
    if (!shm_attach()) return 0;
    if (!shm_fits_layout()) return 1;
    // What the input and the outputs read of the block, each field loaded at its use.
    BlockView block = attached_block();

    int feed_sock = -1;
    if (sockRxOpen("127.0.0.1", kFeedPort, nullptr, nullptr, 0, &feed_sock) < 0) {
        dbg_printf("fail to sockRxOpen for atrx\n");
        return 1;
    }
    Init_ARClist(block);
    if (!init_psi_tables()) return 1;  // after the failed step's message
    init_pes_header();

    // The client table, PSI tables and PES template come before this point; the
    // announcement is the last start-up step before the transport stream socket.
    // It waits until mailbox 3 can be opened; its result is not examined.
    announce_service();

    LoopState loop;
    if (!use_alt_settings()) remake_ts_sock(block, &loop.ts_sock);
    FeedBuffers feed;
    for (;;) {
        serve_command(block, &loop.force_detect, &loop.ts_sock);

        const int ready = wait_for_feed(feed_sock);
        if (ready < 0) {
            if (errno != EINTR)
                dbg_printf("%s:%d Error %d:%s\n\r", "main", kLineMainWaitError, errno,
                           std::strerror(errno));
            continue;
        }

        const std::int64_t now = get_time_usec();
        const Settings settings = read_settings();
        const DueJobs due =
            due_jobs(loop.last, now, settings, loop.ts_sock != 0, loop.force_detect);

        if (due.detect) {
            follow_block(block);
            loop.force_detect = false;
            poll_audio_format(block, &current_audio_format);
            loop.last.detect = now;
        }

        if (ready > 0) {
            // Skipped jobs keep their last times, so they run in a later iteration.
            const FeedResult got = receive_feed(feed_sock, feed, current_audio_format);
            if (got == FeedResult::failed) continue;
            if (got == FeedResult::pcm && !forward_audio(block, settings, loop, feed, now))
                continue;
        }

        run_due_jobs(loop, due, now);
    }
}
