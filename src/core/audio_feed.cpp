#include "core/audio_feed.h"

#include <sys/select.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "core/debug_log.h"

static_assert(bit_reverse16(0x4567) == 0xE6A2);  // the HDMI-SPDIF worked example

namespace {

// The formats the outputs can carry, tested in this order.
bool format_accepted(const AudioFormat& f) {
    if (f.source > 3) return false;
    if (f.sample_rate != 44100 && f.sample_rate != 48000 && f.sample_rate != 8000) return false;
    if (f.channels != 1 && f.channels != 2) return false;
    if (f.bits != 16 && f.bits != 8) return false;
    return f.codec != 8;
}

}  // namespace

int parse_audio_feed(const std::uint8_t* in, std::int32_t len, std::uint8_t* out,
                     std::uint32_t* out_len, const AudioFormat* format) {
    if (len < kFeedMinDatagram) {
        dbg_printf("invalid audio length(%d)\n", len);
        return 0;
    }
    if (!format_accepted(*format)) return 0;

    const auto n = static_cast<std::uint32_t>(len);
    std::uint32_t j = 0;
    if (format->bits == 8) {
        // 8-bit linear, A-law and mu-law alike travel as they are.
        for (; j < n; ++j) out[j] = in[j];
    } else if (format->source == 1) {
        for (std::uint32_t i = 0; i < n; i += 2, j += 2) {
            const auto s = static_cast<std::uint16_t>(spdif_word_to_sample(in + i));
            out[j] = static_cast<std::uint8_t>(s >> 8);
            out[j + 1] = static_cast<std::uint8_t>(s);
        }
    } else {
        for (std::uint32_t i = 0; i < n; i += 2, j += 2) {
            out[j] = in[i + 1];
            out[j + 1] = in[i];
        }
    }
    *out_len = j;
    return 1;
}

int wait_for_feed(int feed_sock) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(feed_sock, &readable);
    timeval timeout{0, 100000};
    const int ready = select(feed_sock + 1, &readable, nullptr, nullptr, &timeout);
    return ready > 0 && !FD_ISSET(feed_sock, &readable) ? 0 : ready;
}

FeedResult receive_feed(int feed_sock, FeedBuffers& buf, const AudioFormat& format) {
    const ssize_t got = recv(feed_sock, buf.datagram, kFeedMaxDatagram, 0);
    // An empty datagram is no failure: recv sets no errno for it, and skipping the jobs for
    // it would let a stream of them starve the reports, the PSI and the PCR.
    if (got == 0) return FeedResult::dropped;
    if (got < 0) {
        if (errno != EINTR && errno != EAGAIN) {
            DBG_TRACE_AT("main", kLineMainRecv);
            dbg_perror("recv");
        }
        return FeedResult::failed;
    }
    std::memset(buf.datagram + got, 0, kFeedSpareBytes);
    const int parsed = parse_audio_feed(buf.datagram, static_cast<std::int32_t>(got),
                                        buf.pcm + kPcmHeadroom, &buf.pcm_len, &format);
    return parsed == 1 ? FeedResult::pcm : FeedResult::dropped;
}
