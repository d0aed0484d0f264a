int main(void) { return sizeof(void*) == 4 ? 0 : 1; }
