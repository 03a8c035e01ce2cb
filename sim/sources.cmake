target_sources(dovelcore PRIVATE
  sim/bus_timing.cpp
  sim/crc32.cpp
  sim/dovel.cpp
  sim/hand_report.cpp
  sim/sim_backend.cpp
  sim/sim_hand.cpp
  sim/sim_options.cpp
  sim/state_file.cpp
  sim/state_path.cpp)

# Writes an example firmware image: make-tek-image SIZE SEED FILE
add_executable(make-tek-image tools/make_tek_image.cpp)
target_link_libraries(make-tek-image PRIVATE dovelcore)
target_compile_options(make-tek-image PRIVATE ${DOVEL_WARNINGS})
