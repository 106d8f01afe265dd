#include "realpath.h"

int main(int argc, char* argv[]) { return realpath_cmd(argc, argv); }
