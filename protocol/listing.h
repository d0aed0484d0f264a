// Text listings sent in KEEPER_PRINT_ACK: one line at a time, the buffer
// grown by each line's length + 1, so the reported size is the text length
// plus the number of lines. The buffer belongs to the caller.
#ifndef PROTOCOL_LISTING_H
#define PROTOCOL_LISTING_H

// Appends one line; false when memory ran out (the text so far stays valid).
bool listing_append(char** text, unsigned* size, const char* line);

#endif
