#include "core/block_view.h"

#include <cstring>

#include "core/shm_config.h"

namespace {

template <class T>
bool fits(std::size_t offset, std::size_t size) {
    return offset <= size && sizeof(T) <= size - offset;
}

// One fresh load of a native-order field: volatile, so no read is merged or cached.
template <class T>
T load(const std::uint8_t* base, std::size_t offset) {
    return *reinterpret_cast<const volatile T*>(base + offset);
}

}  // namespace

std::uint32_t BlockView::load32(std::size_t offset) const {
    return fits<std::uint32_t>(offset, size_) ? load<std::uint32_t>(base_, offset) : 0;
}
std::uint16_t BlockView::load16(std::size_t offset) const {
    return fits<std::uint16_t>(offset, size_) ? load<std::uint16_t>(base_, offset) : 0;
}
std::uint8_t BlockView::load8(std::size_t offset) const {
    return fits<std::uint8_t>(offset, size_) ? load<std::uint8_t>(base_, offset) : 0;
}
void BlockView::store32(std::size_t offset, std::uint32_t v) const {
    if (fits<std::uint32_t>(offset, size_))
        *reinterpret_cast<volatile std::uint32_t*>(base_ + offset) = v;
}

std::size_t BlockView::text(std::size_t offset, std::size_t room, char* out,
                            std::size_t out_size) const {
    if (out_size == 0) return 0;
    std::size_t limit = offset < size_ ? size_ - offset : 0;
    if (room < limit) limit = room;
    if (out_size - 1 < limit) limit = out_size - 1;
    return copy_shared_text(reinterpret_cast<const volatile char*>(base_ + offset), limit, out);
}

#define AT(field) offsetof(ShmConfig, field)
#define ROOM(field) sizeof ShmConfig{}.field

std::int32_t BlockView::mtu() const { return static_cast<std::int32_t>(load32(AT(mtu))); }
int BlockView::multicast_ttl() const { return static_cast<int>(load32(AT(multicast_ttl))); }
SsrcSeeds BlockView::ssrc_seeds() const {
    return {load8(AT(ssrc_seed_hi)), load8(AT(ssrc_seed_mid)), load8(AT(ssrc_seed_lo))};
}

std::size_t BlockView::ts_destination(char* out, std::size_t out_size) const {
    // The alternate destination is bounded only by its NUL, up to the next field.
    if (load32(AT(ts_dest_select)) == 1)
        return text(AT(ts_dest_ip_alt), ROOM(ts_dest_ip_alt), out, out_size);
    return text(AT(ts_dest_ip), ROOM(ts_dest_ip), out, out_size);
}
std::size_t BlockView::local_ip(char* out, std::size_t out_size) const {
    return text(AT(local_ip), ROOM(local_ip), out, out_size);
}

bool BlockView::use_alt_settings() const { return load32(AT(use_alt_settings)) != 0; }
std::uint16_t BlockView::board_type() const { return load16(AT(board_type)); }
std::uint32_t BlockView::channel_mode() const { return load32(AT(audio_channel_mode)); }
std::uint32_t BlockView::codec() const { return load32(AT(audio_codec)); }
std::uint32_t BlockView::rate_mode() const { return load32(AT(audio_rate_mode)); }

AudioFormat BlockView::alt_format() const {
    return {load32(AT(alt_audio_source)), load32(AT(alt_audio_bits)), load32(AT(alt_audio_codec)),
            load32(AT(alt_audio_channels)), load32(AT(alt_audio_rate))};
}

void BlockView::publish_format(const AudioFormat& f) const {
    store32(AT(cur_audio_source), f.source);
    store32(AT(cur_audio_bits), f.bits);
    store32(AT(cur_audio_codec), f.codec);
    store32(AT(cur_audio_channels), f.channels);
    store32(AT(cur_audio_rate), f.sample_rate);
}

BlockView attached_block() { return BlockView(shm_config, shm_config ? shm_segment_size() : 0); }
