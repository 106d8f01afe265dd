#include "junctor.h"

int main(int argc, char* argv[]) { return junctorCmd(argc, argv); }
