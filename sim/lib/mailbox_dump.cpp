#include "mailbox_dump.h"

#include <cerrno>
#include <cstdint>
#include <cstring>

#ifndef MSG_COPY
#define MSG_COPY 040000
#endif

namespace mailbox_dump {

namespace {

void print_one(std::FILE* out, const Message& m, long size) {
    std::uint32_t code = 0;
    std::memcpy(&code, m.data, size < 4 ? static_cast<std::size_t>(size) : 4);
    std::fprintf(out, "type %ld code %u size %ld:", m.type, code, size);
    for (long i = 0; i < size; ++i) std::fprintf(out, " %02x", m.data[i]);
    std::fprintf(out, "\n");
}

}  // namespace

int print_mailbox(int mailbox, std::FILE* out) {
    const int id = msgget(static_cast<key_t>(mailbox), 0);
    msqid_ds st{};
    if (id < 0 || msgctl(id, IPC_STAT, &st) != 0) {
        std::fprintf(out, "mailbox %d: %s\n", mailbox, std::strerror(errno));
        return -1;
    }
    const long count = static_cast<long>(st.msg_qnum);
    std::fprintf(out, "mailbox %d: %ld message(s)\n", mailbox, count);
    static Message m;
    long shown = 0;
    for (; shown < count; ++shown) {
        const ssize_t n = msgrcv(id, &m, sizeof m.data, shown, IPC_NOWAIT | MSG_COPY);
        if (n < 0) break;
        print_one(out, m, static_cast<long>(n));
    }
    if (shown > 0 || count == 0 || errno != ENOSYS) return static_cast<int>(shown);

    // No MSG_COPY: take each message, print it, and queue it again behind the others;
    // after `count` rounds the queue is in its old order (unless someone else used it).
    for (; shown < count; ++shown) {
        const ssize_t n = msgrcv(id, &m, sizeof m.data, 0, IPC_NOWAIT);
        if (n < 0) break;
        print_one(out, m, static_cast<long>(n));
        if (msgsnd(id, &m, static_cast<std::size_t>(n), IPC_NOWAIT) != 0)
            std::fprintf(out, "(message consumed: %s)\n", std::strerror(errno));
    }
    return static_cast<int>(shown);
}

}  // namespace mailbox_dump
