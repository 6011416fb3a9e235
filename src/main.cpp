// audio_rtsp: the audio streaming service. Start-up in its fixed order, then one loop for
// ever on one thread: serve a command, wait for the audio feed, run what is due.
#include <sys/select.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/audio_format.h"
#include "core/clock.h"
#include "core/debug_log.h"
#include "core/job_schedule.h"
#include "core/mailbox.h"
#include "core/shm_config.h"

AudioFormat current_audio_format{};

namespace {

struct LoopState {
    JobClocks last{};
    bool force_detect = false;
    int ts_sock = 0;  // 0 = no transport stream socket
};

void serve_command(LoopState& loop) {
    if (!shm_command_pending()) return;
    const ShmCommand cmd = shm_read_command();
    dbg_printf("[CMD] code %u\n", cmd.code);
    switch (cmd.code) {
        case 4:
            loop.force_detect = true;
            break;
        default:  // 0 and codes above 5: acknowledged only
            break;
    }
    shm_command_done();
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

    if (!shm_attach()) return 0;

    // The feed socket, client table, PSI tables and PES template come before this point;
    // the announcement is the last start-up step before the transport stream socket.
    // It waits until mailbox 3 can be opened; its result is not examined.
    announce_service();

    LoopState loop;
    for (;;) {
        serve_command(loop);

        timeval timeout{0, 100000};
        if (select(0, nullptr, nullptr, nullptr, &timeout) < 0) {
            if (errno != EINTR)
                dbg_printf("%s:%d Error %d:%s\n\r", "main", 1197, errno, std::strerror(errno));
            continue;
        }

        const std::int64_t now = get_time_usec();
        const Settings settings = read_settings();
        const DueJobs due = due_jobs(loop.last, now, settings, loop.ts_sock != 0, loop.force_detect);

        if (due.detect) {
            loop.force_detect = false;
            loop.last.detect = now;
        }
        if (due.psi) loop.last.psi = now;
        if (due.pcr) loop.last.pcr = now;
        if (due.rtcp) loop.last.rtcp = now;
    }
}
