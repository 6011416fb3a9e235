#include "input/format_poll.h"

#include <cstdio>
#include <cstdlib>

#include "core/debug_log.h"
#include "core/shm_config.h"
#include "input/process_control.h"

std::uint32_t applied_sample_rate = 0;

namespace {

FormatTracking g_tracking = kFormatTrackingStart;

constexpr const char* kSourceNames[] = {"HDSDI-I2S", "HDMI-SPDIF", "HDMI-I2S", "ADC-I2S"};

int as_int(std::uint32_t v) { return static_cast<int>(v); }

AudioFormat read_fixed_format(const ShmConfig& c) {
    return {shm_load(c.alt_audio_source), shm_load(c.alt_audio_bits), shm_load(c.alt_audio_codec),
            shm_load(c.alt_audio_channels), shm_load(c.alt_audio_rate)};
}

AudioFormat detect_format(ShmConfig& c, const AudioFormat& previous) {
    // What the probe leaves unwritten for an unrecognised input stays as here: not valid,
    // no rate.
    InputDetect probe{255, 0, 0};
    probe_audio_input(probe);
    const FormatSettings s{shm_load(c.audio_channel_mode), shm_load(c.audio_codec),
                           shm_load(c.audio_rate_mode)};
    const AudioFormat f = detected_format(probe, s, previous);
    shm_store(c.cur_audio_source, f.source);
    shm_store(c.cur_audio_bits, f.bits);
    shm_store(c.cur_audio_codec, f.codec);
    shm_store(c.cur_audio_channels, f.channels);
    shm_store(c.cur_audio_rate, f.sample_rate);
    return f;
}

void run_ignoring_status(const char* command) {
    const int status = std::system(command);
    (void)status;
}

}  // namespace

const char* audio_source_name(std::uint32_t source) {
    return source < 4 ? kSourceNames[source] : "Unknown";
}

void poll_audio_format(AudioFormat* format) {
    ShmConfig& c = *shm_config;
    *format = shm_load(c.use_alt_settings) != 0 ? read_fixed_format(c) : detect_format(c, *format);
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
        applied_sample_rate = f.sample_rate;
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
