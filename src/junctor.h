#pragma once

int junctorCmd(int argc, const char* const argv[]);
