target_sources(dovelcore PRIVATE
  sim/sim_backend.cpp)
