target_sources(dovelcore PRIVATE
  firmware/download.cpp
  firmware/image_reader.cpp
  firmware/image_scan.cpp
  firmware/tek_format.cpp)
