#include "core/mailbox.h"

#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/debug_log.h"

namespace {

// The kernel's message: a long type (32 bits on the appliance) and the payload.
struct MbxMessage {
    long type;
    unsigned char payload[kMbxPayloadMax];
};

constexpr unsigned kMsggetRetrySec = 3;
constexpr unsigned kPollStepUsec = 6000;
constexpr int kPollBudgetStep = 10;
constexpr int kWaitMsg5Rounds = 10;
constexpr int kWaitMsg5Budget = 1000;

// Peers read these messages in their own (native) byte order.
void put_u32(unsigned char* payload, std::size_t offset, std::uint32_t value) {
    std::memcpy(payload + offset, &value, sizeof value);
}

void put_u16(unsigned char* payload, std::size_t offset, std::uint16_t value) {
    std::memcpy(payload + offset, &value, sizeof value);
}

std::uint32_t get_u32(const unsigned char* payload, std::size_t offset) {
    std::uint32_t value;
    std::memcpy(&value, payload + offset, sizeof value);
    return value;
}

// Logs `call` with the failure's errno and leaves that errno for the caller to examine.
void log_failure(const char* call) {
    const int err = errno;
    dbg_perror(call);
    errno = err;
}

// One msgrcv of any type into `dest`; -1 with errno on failure, nothing logged.
int receive(int mailbox, void* dest, int flags) {
    const int id = open_msgq(mailbox);
    MbxMessage msg;
    const ssize_t got = msgrcv(id, &msg, kMbxPayloadMax, 0, flags);
    if (got < 0) return -1;
    std::memcpy(dest, msg.payload, static_cast<std::size_t>(got));
    return static_cast<int>(got);
}

// A sender's payload: zeroed, with its code in the first word.
struct Outgoing {
    unsigned char payload[kMbxPayloadMax]{};
    explicit Outgoing(std::uint32_t code) { put_u32(payload, 0, code); }
};

int send_caller_payload(int mailbox, void* payload, std::uint32_t code, std::size_t size) {
    put_u32(static_cast<unsigned char*>(payload), 0, code);
    return mbx_send(mailbox, payload, size);
}

int send_code_only(int mailbox, std::uint32_t code) {
    const Outgoing m(code);
    return mbx_send(mailbox, m.payload, 4);
}

int send_word(int mailbox, std::uint32_t code, std::uint32_t w4) {
    Outgoing m(code);
    put_u32(m.payload, 4, w4);
    return mbx_send(mailbox, m.payload, 8);
}

// Codes 17..20: a 16-byte address text and two u16 (say, a pair of ports).
int send_addr_pair(std::uint32_t code, const char* txt4, std::uint16_t h20, std::uint16_t h22) {
    Outgoing m(code);
    std::memcpy(m.payload + 4, txt4, 16);
    put_u16(m.payload, 20, h20);
    put_u16(m.payload, 22, h22);
    return mbx_send(3, m.payload, 24);
}

int send_addr_one(std::uint32_t code, const char* txt4, std::uint16_t h20) {
    Outgoing m(code);
    std::memcpy(m.payload + 4, txt4, 16);
    put_u16(m.payload, 20, h20);
    return mbx_send(3, m.payload, 24);
}

}  // namespace

int open_msgq(int mailbox) {
    for (;;) {  // start-up relies on this waiting until the mailbox exists
        const int id = msgget(static_cast<key_t>(mailbox), IPC_CREAT | kMbxCreateMode);
        if (id >= 0) return id;
        dbg_perror("msgget");
        sleep(kMsggetRetrySec);
    }
}

bool mbx_near_full(unsigned long queued_bytes, unsigned long byte_limit, std::size_t size) {
    return queued_bytes + size > byte_limit - kMbxHeadroom;
}

int mbx_send(int mailbox, const void* payload, std::size_t size) {
    if (size > kMbxPayloadMax) {
        errno = EMSGSIZE;
        dbg_perror("msgsnd");
        return 0;
    }
    MbxMessage msg;
    msg.type = mailbox;
    std::memcpy(msg.payload, payload, size);

    for (int round = 0;; ++round) {
        const int id = open_msgq(mailbox);
        // Advisory only: the count may be stale by the time msgsnd runs.
        msqid_ds st{};
        if (msgctl(id, IPC_STAT, &st) == 0 && mbx_near_full(st.msg_cbytes, st.msg_qbytes, size))
            usleep(kMbxPauseUsec);
        if (msgsnd(id, &msg, size, IPC_NOWAIT) == 0) return 1;
        // A full queue loses its pending messages: the newest message matters more than
        // old ones that nobody has read.
        if (errno != EAGAIN || round == kMbxFlushRounds) {
            dbg_perror("msgsnd");
            return 0;
        }
        mbx_flush(mailbox);
    }
}

int mbx_recv_nowait(int mailbox, void* dest) {
    const int got = receive(mailbox, dest, IPC_NOWAIT);
    if (got < 0 && errno != ENOMSG) log_failure("msgrcv");
    return got;
}

int mbx_recv_poll(int mailbox, void* dest) {
    const int got = receive(mailbox, dest, IPC_NOWAIT);
    if (got < 0 && errno != ENOMSG && errno != EINTR) log_failure("msgrcv");
    return got;
}

int mbx_recv_wait(int mailbox, void* dest) {
    const int got = receive(mailbox, dest, 0);
    if (got < 0 && errno != ENOMSG && errno != EINTR) log_failure("msgrcv");
    return got;
}

int mbx_recv_timeout(int mailbox, void* dest, int budget) {
    // The budget strictly falls each round, so the poll ends.
    for (;;) {
        const int got = receive(mailbox, dest, IPC_NOWAIT);
        if (got >= 0) return got;
        if (errno != ENOMSG) {
            log_failure("msgrcv");
            return got;
        }
        if (budget <= 0) return got;
        usleep(kPollStepUsec);
        budget -= kPollBudgetStep;
    }
}

int mbx_flush(int mailbox) {
    unsigned char scratch[kMbxPayloadMax];
    // Each pass removes a message; ends at the first empty (or failed) receive.
    for (;;) {
        const int got = mbx_recv_nowait(mailbox, scratch);
        if (got <= 0) return got;
    }
}

int remove_msgq(int queue_id) {
    const int rc = msgctl(queue_id, IPC_RMID, nullptr);
    if (rc != 0) dbg_perror("fail to msgctl in remove_msgq");
    return rc;
}

int mbx_delete(int mailbox) { return remove_msgq(open_msgq(mailbox)); }

int mbx_set_mode(int queue_id, const char* octal_mode) {
    msqid_ds st{};
    if (msgctl(queue_id, IPC_STAT, &st) != 0) return -1;
    unsigned short mode = 0;
    if (std::sscanf(octal_mode, "%ho", &mode) != 1) {
        errno = EINVAL;
        return -1;
    }
    st.msg_perm.mode = mode;
    return msgctl(queue_id, IPC_SET, &st);
}

int mbx_msg1(int mailbox, void* payload) { return send_caller_payload(mailbox, payload, 1, 116); }
int mbx_msg2(int mailbox, void* payload) { return send_caller_payload(mailbox, payload, 2, 468); }
int mbx_msg3(int mailbox, void* payload) { return send_caller_payload(mailbox, payload, 3, 252); }

int mbx_msg4(std::uint8_t b4, std::uint32_t w8, std::uint32_t w12, std::uint32_t w16,
             std::uint32_t w20, std::uint32_t w24, std::uint32_t w28) {
    Outgoing m(4);
    m.payload[4] = b4;
    put_u32(m.payload, 8, w8);
    put_u32(m.payload, 12, w12);
    put_u32(m.payload, 16, w16);
    put_u32(m.payload, 20, w20);
    put_u32(m.payload, 24, w24);
    put_u32(m.payload, 28, w28);
    return mbx_send(5, m.payload, 32);
}

int mbx_msg5(std::uint32_t w4) { return send_word(4, 5, w4); }

int mbx_msg6(std::uint32_t w4) {
    const int to_3 = send_word(3, 6, w4);
    const int to_9 = send_word(9, 6, w4);
    return to_3 && to_9 ? 1 : 0;
}

int mbx_msg7(std::uint32_t w4, const char* txt8, const char* txt64) {
    Outgoing m(7);
    put_u32(m.payload, 4, w4);
    std::memcpy(m.payload + 8, txt8, 56);
    std::memcpy(m.payload + 64, txt64, 40);
    return mbx_send(3, m.payload, 104);
}

int mbx_msg9(const char* txt4, const char* txt60, std::uint32_t w116, std::uint32_t w120,
             std::uint32_t w124) {
    Outgoing m(9);
    std::memcpy(m.payload + 4, txt4, 56);
    std::memcpy(m.payload + 60, txt60, 56);
    put_u32(m.payload, 116, w116);
    put_u32(m.payload, 120, w120);
    put_u32(m.payload, 124, w124);
    return mbx_send(3, m.payload, 128);
}

int mbx_msg10(std::uint32_t w4) { return send_word(7, 10, w4); }
int mbx_msg11() { return send_code_only(7, 11); }
int mbx_msg12() { return send_code_only(6, 12); }
int mbx_msg13(std::uint32_t w4) { return send_word(8, 13, w4); }
int mbx_msg14() { return send_code_only(8, 14); }

int mbx_msg15(std::uint32_t w4, std::uint32_t w8, std::uint32_t w12, std::uint32_t w16) {
    Outgoing m(15);
    put_u32(m.payload, 4, w4);
    put_u32(m.payload, 8, w8);
    put_u32(m.payload, 12, w12);
    put_u32(m.payload, 16, w16);
    return mbx_send(8, m.payload, 20);
}

int mbx_msg16() { return send_code_only(3, 16); }

int mbx_msg17(const char* txt4, std::uint16_t h20, std::uint16_t h22) {
    return send_addr_pair(17, txt4, h20, h22);
}
int mbx_msg18(const char* txt4, std::uint16_t h20, std::uint16_t h22) {
    return send_addr_pair(18, txt4, h20, h22);
}
int mbx_msg19(const char* txt4, std::uint16_t h20, std::uint16_t h22) {
    return send_addr_pair(19, txt4, h20, h22);
}
int mbx_msg20(const char* txt4, std::uint16_t h20, std::uint16_t h22) {
    return send_addr_pair(20, txt4, h20, h22);
}
int mbx_msg21(const char* txt4, std::uint16_t h20) { return send_addr_one(21, txt4, h20); }
int mbx_msg22(const char* txt4, std::uint16_t h20) { return send_addr_one(22, txt4, h20); }

int mbx_msg23() { return send_code_only(3, 23); }
int announce_service() { return send_code_only(3, 25); }
int mbx_msg26(std::uint32_t w4) { return send_word(6, 26, w4); }
int mbx_msg27() { return send_code_only(3, 27); }
int mbx_msg28() { return send_code_only(3, 28); }
int mbx_msg160(std::uint32_t w4) { return send_word(3, 160, w4); }
int mbx_msg161() { return send_code_only(3, 161); }
int mbx_msg162() { return send_code_only(3, 162); }

int mbx_msg240(const char* text) {
    constexpr std::size_t kTextMax = 1019;  // 4 + 1019 + NUL fill the 1024 bytes
    Outgoing m(240);
    std::memcpy(m.payload + 4, text, strnlen(text, kTextMax));
    return mbx_send(1, m.payload, 1024);
}

int mbx_wait_msg5(std::uint32_t* answer) {
    constexpr std::uint32_t kRefused = 0xFFFFFFFF;
    unsigned char reply[kMbxPayloadMax]{};
    // Mailbox 4 also carries other processes' messages: those are dropped and do not
    // use up a round.
    for (int empty_rounds = 0; empty_rounds < kWaitMsg5Rounds;) {
        std::memset(reply, 0, 8);  // a short message must not show an older one's answer
        if (mbx_recv_timeout(4, reply, kWaitMsg5Budget) <= 0) {
            ++empty_rounds;
            continue;
        }
        if (get_u32(reply, 0) != 5) continue;
        const std::uint32_t value = get_u32(reply, 4);
        if (value == kRefused) return 0;
        *answer = value;
        return 1;
    }
    return 0;
}

int mbx_wait_msg6(std::uint32_t* value) {
    unsigned char reply[kMbxPayloadMax]{};
    for (;;) {  // blocks by contract, like the peer's answer it waits for
        std::memset(reply, 0, 8);
        const int got = mbx_recv_wait(9, reply);
        if (got > 0 && get_u32(reply, 0) == 6) {
            *value = get_u32(reply, 4);
            return got;
        }
    }
}
