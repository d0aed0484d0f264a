#include "manager/vardoctl.h"

int main(int argc, char** argv) { return vardoctl_main(argc, argv); }
