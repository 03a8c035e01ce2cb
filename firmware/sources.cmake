target_sources(dovelcore PRIVATE
  firmware/download.cpp
  firmware/image_reader.cpp)
