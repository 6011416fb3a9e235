#include "input/format_poll.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "core/debug_log.h"
#include "input/process_control.h"

namespace {

FormatTracking g_tracking = kFormatTrackingStart;
std::uint32_t g_applied_sample_rate = 0;

constexpr const char* kSourceNames[] = {"HDSDI-I2S", "HDMI-SPDIF", "HDMI-I2S", "ADC-I2S"};

int as_int(std::uint32_t v) { return static_cast<int>(v); }

AudioFormat detect_format(const BlockView& block, const AudioFormat& previous) {
    // What the probe leaves unwritten for an unrecognised input stays as here: not valid,
    // no rate.
    InputDetect probe{255, 0, 0};
    probe_audio_input(block, probe);
    const FormatSettings s{block.channel_mode(), block.codec(), block.rate_mode()};
    const AudioFormat f = detected_format(probe, s, previous);
    block.publish_format(f);
    return f;
}

// The name of the failed call, or nullptr when all of text went into fd.
const char* write_all(int fd, const char* text, std::size_t len) {
    if (fchmod(fd, 0644) != 0) return "fchmod";
    while (len > 0) {
        const ssize_t n = write(fd, text, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return "write";
        text += n, len -= static_cast<std::size_t>(n);
    }
    return nullptr;
}

// Logs the failed call as the SDP writer's; false.
bool sdp_failure(const char* call) {
    DBG_TRACE_IN("write_sdp_line");
    dbg_perror(call);
    return false;
}

}  // namespace

const std::uint32_t& applied_sample_rate = g_applied_sample_rate;

const char* audio_source_name(std::uint32_t source) {
    return source < 4 ? kSourceNames[source] : "Unknown";
}

void poll_audio_format(const BlockView& block, AudioFormat* format) {
    *format = block.use_alt_settings() ? block.alt_format() : detect_format(block, *format);
    const AudioFormat& f = *format;

    const FormatStep step = confirm_format(g_tracking, f);
    if (step.changed) {
        const AudioFormat& o = g_tracking.last_seen_format;
        dbg_printf("[Audio] %s %d %d Hz Ch-%d Bit-%d => %s %d %d Hz Ch-%d Bit-%d \n",
                   audio_source_name(o.source), as_int(o.codec), as_int(o.sample_rate),
                   as_int(o.channels), as_int(o.bits), audio_source_name(f.source), as_int(f.codec),
                   as_int(f.sample_rate), as_int(f.channels), as_int(f.bits));
    }
    if (step.fixed) {
        const AudioFormat& o = g_tracking.applied_format;
        dbg_printf("[Fix Audio] %s %d %d Hz Ch-%d => %s %d %d Hz Ch-%d\n",
                   audio_source_name(o.source), as_int(o.codec), as_int(o.sample_rate),
                   as_int(o.channels), audio_source_name(f.source), as_int(f.codec),
                   as_int(f.sample_rate), as_int(f.channels));
    }
    FormatTracking next = step.next;
    if (step.reconfigure && !sdp_line_in_range(f)) {
        dbg_printf("[Fix Audio] refused, out of range for the SDP line: %s %u %u Hz Ch-%u Bit-%u\n",
                   audio_source_name(f.source), f.codec, f.sample_rate, f.channels, f.bits);
    } else if (step.reconfigure && write_sdp_line(f)) {
        stop_rtsp_servers();
        g_applied_sample_rate = f.sample_rate;
    } else if (step.reconfigure) {
        next.applied_format = g_tracking.applied_format;
    }
    g_tracking = next;
}

bool write_sdp_line(const AudioFormat& format) {
    if (!sdp_line_in_range(format)) return false;
    if (format.codec == 8 || format.channels == 0)
        return unlink(kSdpLinePath) == 0 || errno == ENOENT || sdp_failure("unlink");
    // In range, the longest line has three numbers of at most 10 digits.
    char line[64];
    int len = 0;
    if (format.codec == 2)
        len = std::snprintf(line, sizeof line, "a=rtpmap:98 PCMA/%u/%u\n", format.sample_rate,
                            format.channels);
    else if (format.codec == 3)
        len = std::snprintf(line, sizeof line, "a=rtpmap:98 PCMU/%u/%u\n", format.sample_rate,
                            format.channels);
    else
        len = std::snprintf(line, sizeof line, "a=rtpmap:98 L%u/%u/%u\n", format.bits,
                            format.sample_rate, format.channels);
    // A fresh name beside the line (created with O_EXCL, so never through a link), renamed
    // over it once whole: /tmp full leaves the previous line.
    char temp[64];
    std::snprintf(temp, sizeof temp, "%s.XXXXXX", kSdpLinePath);
    const int fd = mkostemp(temp, O_CLOEXEC);
    if (fd < 0) return sdp_failure("mkstemp");
    const char* failed = write_all(fd, line, static_cast<std::size_t>(len));
    if (close(fd) != 0 && !failed) failed = "close";
    if (!failed && rename(temp, kSdpLinePath) != 0) failed = "rename";
    if (!failed) return true;
    const int err = errno;
    unlink(temp);
    errno = err;
    return sdp_failure(failed);
}

void stop_rtsp_servers() {
    if (find_pid_by_name("rtspServer")) kill_all_by_name("rtspServer");
    if (find_pid_by_name("rtspServerM")) kill_all_by_name("rtspServerM");
}
