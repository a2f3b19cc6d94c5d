// The corpus replayer shared by the fuzz targets: built without the fuzzing
// engine, a target's entry point runs once per file named on the command
// line, so ctest replays every corpus on each test run.
#pragma once

#ifndef XAD_FUZZ_ENGINE
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::ifstream in(argv[i], std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
        std::printf("replayed %s (%zu bytes)\n", argv[i], bytes.size());
    }
    return 0;
}
#endif
