#include "protocol/wire_text.h"

#include <cstring>

std::string wireText(const char* field, size_t width) {
    if (field == nullptr) return std::string();
    return std::string(field, strnlen(field, width));
}

void setWireText(char* field, size_t width, const char* src) {
    if (width == 0) return;
    std::memset(field, 0, width);
    if (src != nullptr) std::memcpy(field, src, strnlen(src, width - 1));
}
