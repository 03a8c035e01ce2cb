target_sources(dovelcore PRIVATE
  firmware/download.cpp
  firmware/download_stream.cpp
  firmware/image_reader.cpp
  firmware/image_scan.cpp
  firmware/release_checksum.cpp
  firmware/sha256.cpp
  firmware/tek_format.cpp)
