#include "main/tidemark_main.h"

int main(int argc, char** argv) { return TidemarkMain(argc, argv); }
