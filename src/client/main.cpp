#include "Xadrac.h"

int main(int argc, char** argv) { return Xadra::runClient(argc, argv); }
