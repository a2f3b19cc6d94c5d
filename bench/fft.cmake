# FFT images: FFTImage's transform pair at 1024 x 1024 against bare FFTW
# and the radix-2 reference; planning time by planner flags.
if(TARGET imaging AND TARGET imaging_fft_reference)
  xad_add_bench(fft_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/fft/bench_fft.cpp LIBS imaging imaging_fft_reference)
endif()
