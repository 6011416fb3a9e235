#include "support/ts_stream.h"

#include <sys/time.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>

#include "support/ts_reader.h"

namespace {

std::int64_t now_usec() {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return std::int64_t{tv.tv_sec} * 1000000 + tv.tv_usec;
}

bool whole_packets(const TsDatagram& d) {
    if (d.bytes.empty() || d.bytes.size() % 188 != 0) return false;
    for (std::size_t off = 0; off < d.bytes.size(); off += 188)
        if (d.bytes[off] != 0x47) return false;
    return true;
}

bool has_payload(const std::uint8_t* p) { return (p[3] & 0x10) != 0; }
unsigned ts_cc(const std::uint8_t* p) { return p[3] & 0x0Fu; }

}  // namespace

std::vector<TsDatagram> capture_ts_until(
    UdpReceiver& rx, const std::function<bool(const std::vector<TsDatagram>&)>& enough,
    std::chrono::milliseconds timeout) {
    std::vector<TsDatagram> got;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (int i = 0; i < 1000000 && !enough(got); ++i) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        std::optional<Datagram> d = rx.receive(left);
        if (!d) break;
        got.push_back({std::move(d->bytes), now_usec()});
    }
    return got;
}

std::vector<TsDatagram> capture_ts(UdpReceiver& rx, std::chrono::milliseconds window,
                                   std::size_t max_count) {
    return capture_ts_until(
        rx, [max_count](const std::vector<TsDatagram>& ds) { return ds.size() >= max_count; },
        window);
}

std::vector<TsDatagram> take_queued(UdpReceiver& rx) {
    std::vector<TsDatagram> got;
    for (int i = 0; i < 100000; ++i) {
        std::optional<Datagram> d = rx.receive(std::chrono::milliseconds(0));
        if (!d) break;
        got.push_back({std::move(d->bytes), now_usec()});
    }
    return got;
}

void record_noise_stream(Process& service, const std::vector<std::string>& assignments,
                         int channels, int seconds, std::vector<TsDatagram>& out) {
    std::mt19937 rng(static_cast<unsigned>(channels * 7919 + seconds));
    std::string noise(static_cast<std::size_t>(48000 * 2 * channels * seconds), '\0');
    for (char& b : noise) b = static_cast<char>(rng());  // a lost or repeated block shows
    write_file("/tmp/noise.raw", noise);
    std::vector<std::string> fields = {"audio_output_mode=2"};
    fields.insert(fields.end(), assignments.begin(), assignments.end());
    ASSERT_EQ(set_up_block(fields), "");
    UdpReceiver rx(1234);
    ASSERT_TRUE(rx.ok());
    ASSERT_TRUE(start_service(service, "audio_rtsp_to_screen"));
    // The first detection (first iteration) applies the format: every later block goes out.
    ASSERT_TRUE(service.wait_output(R"(\[Audio\] .* => ADC-I2S 1 48000 Hz)", 10s))
        << service.output();
    Process capture;
    ASSERT_TRUE(capture.start(standin_path("sim_capture"),
                              {"--raw", "/tmp/noise.raw", "--channels", std::to_string(channels),
                               "--size", "1920", "--record", kSentSamples, "--quiet"}));
    out = capture_ts_until(
        rx, [&](const std::vector<TsDatagram>&) { return !capture.running(); },
        std::chrono::seconds(seconds + 20));
    ASSERT_EQ(capture.wait_exit(10s), std::optional<int>(0)) << capture.output();
    const std::vector<TsDatagram> tail = capture_ts(rx, 500ms);
    out.insert(out.end(), tail.begin(), tail.end());
}

bool write_ts_file(const std::string& path, const std::vector<TsDatagram>& ds) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = true;
    for (const TsDatagram& d : ds)
        ok = ok && std::fwrite(d.bytes.data(), 1, d.bytes.size(), f) == d.bytes.size();
    return std::fclose(f) == 0 && ok;
}

unsigned ts_pid(const std::uint8_t* p) { return (p[1] & 0x1Fu) * 256u + p[2]; }
bool ts_pusi(const std::uint8_t* p) { return (p[1] & 0x40) != 0; }

std::vector<unsigned> datagram_pids(const TsDatagram& d) {
    std::vector<unsigned> pids;
    if (!whole_packets(d)) return pids;
    for (std::size_t off = 0; off < d.bytes.size(); off += 188)
        pids.push_back(ts_pid(d.bytes.data() + off));
    return pids;
}

std::size_t count_packets_on(const std::vector<TsDatagram>& ds, unsigned pid) {
    std::size_t n = 0;
    for (const TsDatagram& d : ds)
        for (unsigned p : datagram_pids(d)) n += p == pid ? 1 : 0;
    return n;
}

bool is_psi(const TsDatagram& d) {
    return datagram_pids(d) == std::vector<unsigned>{kPidPat, kPidPmt};
}
bool is_pcr(const TsDatagram& d) { return datagram_pids(d) == std::vector<unsigned>{kPidPcr}; }
bool has_audio(const std::vector<TsDatagram>& ds) { return count_packets_on(ds, kPidAudio) > 0; }

std::size_t how_many(const std::vector<TsDatagram>& ds, bool (*kind)(const TsDatagram&)) {
    return static_cast<std::size_t>(std::count_if(ds.begin(), ds.end(), kind));
}

double shortest_gap_ms(const std::vector<TsDatagram>& ds, bool (*kind)(const TsDatagram&)) {
    double gap = 1e9;
    std::int64_t last = -1;
    for (const TsDatagram& d : ds) {
        if (!kind(d)) continue;
        if (last >= 0) gap = std::min(gap, static_cast<double>(d.arrival_usec - last) / 1000.0);
        last = d.arrival_usec;
    }
    return gap;
}

std::string continuity_gaps(const std::vector<TsDatagram>& ds) {
    std::map<unsigned, unsigned> last;
    for (std::size_t i = 0; i < ds.size(); ++i) {
        if (!whole_packets(ds[i])) return "datagram " + std::to_string(i) + " is not whole packets";
        for (std::size_t off = 0; off < ds[i].bytes.size(); off += 188) {
            const std::uint8_t* p = ds[i].bytes.data() + off;
            if (!has_payload(p)) continue;
            const unsigned pid = ts_pid(p);
            const auto it = last.find(pid);
            if (it != last.end() && ts_cc(p) != ((it->second + 1) & 15u))
                return "PID " + std::to_string(pid) + " in datagram " + std::to_string(i) +
                       ": counter " + std::to_string(ts_cc(p)) + " after " +
                       std::to_string(it->second);
            last[pid] = ts_cc(p);
        }
    }
    return "";
}

std::int64_t pcr_base(const std::uint8_t* p) {
    const unsigned afc = (p[3] >> 4) & 3u;
    if (afc != 2 && afc != 3) return -1;
    if (p[4] < 7 || (p[5] & 0x10) == 0) return -1;
    return (std::int64_t{p[6]} << 25) | (std::int64_t{p[7]} << 17) | (std::int64_t{p[8]} << 9) |
           (std::int64_t{p[9]} << 1) | (p[10] >> 7);
}

std::vector<ReceivedPes> audio_pes(const std::vector<TsDatagram>& ds) {
    std::vector<ReceivedPes> all;
    std::int64_t last_pcr = -1;
    std::vector<std::size_t> waiting_for_pcr;  // PES that have seen no later PCR yet
    for (std::size_t i = 0; i < ds.size(); ++i) {
        if (!whole_packets(ds[i])) continue;
        for (std::size_t off = 0; off < ds[i].bytes.size(); off += 188) {
            const std::uint8_t* p = ds[i].bytes.data() + off;
            const std::int64_t pcr = pcr_base(p);
            if (pcr >= 0) {
                for (std::size_t k : waiting_for_pcr) all[k].pcr_after = pcr;
                waiting_for_pcr.clear();
                last_pcr = pcr;
            }
            if (ts_pid(p) != kPidAudio) continue;
            const ReadPacket r = read_packet(p);
            if (r.pusi) {
                ReceivedPes pes;
                if (r.af_body.size() >= 5 && (r.af_flags & 0x02) && r.af_body[0] == 4)
                    pes.sequence = std::uint32_t{r.af_body[1]} << 24 |
                                   std::uint32_t{r.af_body[2]} << 16 |
                                   std::uint32_t{r.af_body[3]} << 8 | r.af_body[4];
                pes.pcr_before = last_pcr;
                all.push_back(std::move(pes));
                waiting_for_pcr.push_back(all.size() - 1);
            }
            if (all.empty()) continue;  // the tail of a PES whose start came before
            all.back().bytes.insert(all.back().bytes.end(), r.payload.begin(), r.payload.end());
        }
    }
    for (ReceivedPes& pes : all) {
        const std::vector<std::uint8_t>& b = pes.bytes;
        if (b.size() >= 14 && (b[7] & 0x80)) {
            const std::uint8_t* t = b.data() + 9;
            pes.pts = (std::int64_t{t[0]} & 0x0E) << 29 | std::int64_t{t[1]} << 22 |
                      (std::int64_t{t[2]} >> 1) << 15 | std::int64_t{t[3]} << 7 | t[4] >> 1;
        }
    }
    return all;
}

std::vector<std::uint8_t> lpcm_samples(const ReceivedPes& pes) {
    const std::vector<std::uint8_t>& b = pes.bytes;
    if (b.size() < 9) return {};
    const std::size_t start = 9u + b[8] + 4u;  // PES header, then the LPCM header
    const std::size_t end = 6u + (std::size_t{b[4]} << 8 | b[5]);
    if (start > end || end > b.size()) return {};
    return {b.begin() + static_cast<std::ptrdiff_t>(start),
            b.begin() + static_cast<std::ptrdiff_t>(end)};
}

std::uint32_t wall_clock_90k(std::int64_t usec) {
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(usec) / 100 * 9);
}

std::int32_t ticks_between(std::int64_t a, std::int64_t b) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) - static_cast<std::uint32_t>(b));
}
