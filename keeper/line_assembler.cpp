#include "keeper/line_assembler.h"

#include <cstring>

void LineAssembler::feed(const char* data, size_t size, long long now_ms) {
    if (size > 0) last_ms = now_ms;
    const char* end = data + size;
    while (data < end) {
        const size_t room = kMaxLine - partial.size();
        const size_t left = static_cast<size_t>(end - data);
        // One byte past the room: a line of exactly kMaxLine is not cut.
        const size_t window = left < room + 1 ? left : room + 1;
        const char* newline = static_cast<const char*>(memchr(data, '\n', window));
        if (newline && partial.empty()) {
            // A whole line in the buffer goes out without a copy.
            sink(data, static_cast<size_t>(newline - data));
            data = newline + 1;
            continue;
        }
        if (newline) {
            partial.append(data, newline);
            data = newline + 1;
        } else if (left > room) {
            partial.append(data, room);
            data += room;
        } else {
            partial.append(data, end);
            return;
        }
        sink(partial.data(), partial.size());
        partial.clear();
    }
}

void LineAssembler::flush() {
    if (partial.empty()) return;
    sink(partial.data(), partial.size());
    partial.clear();
}

bool LineAssembler::flush_if_idle(long long now_ms) {
    if (!partial.empty() && now_ms - last_ms >= kIdleMs) flush();
    return holding();
}
