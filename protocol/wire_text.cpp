#include "protocol/wire_text.h"

#include <cstring>

std::string wireText(const char* field, size_t width) {
    if (field == nullptr) return std::string();
    return std::string(field, strnlen(field, width));
}

void setWireText(char* field, size_t width, const char* src) {
    if (width == 0) return;
    size_t len = src != nullptr ? strnlen(src, width - 1) : 0;
    if (len) std::memmove(field, src, len);
    std::memset(field + len, 0, width - len);
}
