#include "input/format_poll.h"

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

void run_ignoring_status(const char* command) {
    const int status = std::system(command);
    (void)status;
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
    g_tracking = step.next;
    if (step.reconfigure) {
        write_sdp_line(f);
        stop_rtsp_servers();
        g_applied_sample_rate = f.sample_rate;
    }
}

void write_sdp_line(const AudioFormat& format) {
    // The longest command, with three numbers, stays well under 100 characters.
    char command[256];
    if (format.codec == 8 || format.channels == 0)
        std::snprintf(command, sizeof command, "rm -f %s", kSdpLinePath);
    else if (format.codec == 2)
        std::snprintf(command, sizeof command, "echo \"a=rtpmap:98 PCMA/%d/%d\" > %s",
                      as_int(format.sample_rate), as_int(format.channels), kSdpLinePath);
    else if (format.codec == 3)
        std::snprintf(command, sizeof command, "echo \"a=rtpmap:98 PCMU/%d/%d\" > %s",
                      as_int(format.sample_rate), as_int(format.channels), kSdpLinePath);
    else
        std::snprintf(command, sizeof command, "echo \"a=rtpmap:98 L%d/%d/%d\" > %s",
                      as_int(format.bits), as_int(format.sample_rate), as_int(format.channels),
                      kSdpLinePath);
    run_ignoring_status(command);
}

void stop_rtsp_servers() {
    if (find_pid_by_name("rtspServer")) kill_all_by_name("rtspServer");
    if (find_pid_by_name("rtspServerM")) kill_all_by_name("rtspServerM");
}
