target_sources(dovelcore PRIVATE
  can/can_api.cpp
  can/can_trace.cpp
  can/candump_line.cpp
  can/clock.cpp
  can/link.cpp
  can/reply_owners.cpp
  can/slcan_backend.cpp
  can/slcan_protocol.cpp)

if(WIN32)
  target_sources(dovelcore PRIVATE can/bus_lock_windows.cpp)
elseif(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  target_sources(dovelcore PRIVATE can/bus_lock_linux.cpp)
else()
  target_sources(dovelcore PRIVATE can/bus_lock_posix.cpp)
endif()

if(WIN32)
  target_sources(dovelcore PRIVATE can/slcan_port_windows.cpp)
else()
  target_sources(dovelcore PRIVATE can/slcan_port_posix.cpp)
endif()

if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  target_sources(dovelcore PRIVATE
    can/socketcan_backend.cpp
    can/socketcan_frames.cpp
    can/socketcan_link.cpp)
endif()

if(WIN32)
  target_sources(dovelcore PRIVATE can/pcan_usb_backend.cpp)
  # winmm: the timer resolution that the Windows console set-up raises for the run.
  target_link_libraries(dovelcore PUBLIC winmm)
endif()
