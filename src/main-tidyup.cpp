#include "tidyup.h"

int main(int argc, char* argv[]) { return createCleanDirCmd(argc, argv); }
