target_sources(dovelcore PRIVATE
  can/can_api.cpp
  can/backend_list.cpp
  can/clock.cpp
  can/link.cpp)
