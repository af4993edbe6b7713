// A gzip file inflated a piece at a time as it is read, so that what it inflates to is never
// held whole (a small file may inflate to gigabytes). Members that follow one another are read
// as one text, as gunzip reads them; bytes after the last member that open no new one are
// ignored.
//
// Thread-safety: one reader belongs to one thread.
#pragma once

#include <zlib.h>

#include <string>
#include <string_view>

class TGunzipReader {
 public:
  // `compressed` must outlive the reader.
  explicit TGunzipReader(std::string_view compressed);
  ~TGunzipReader();
  TGunzipReader(const TGunzipReader&) = delete;
  TGunzipReader& operator=(const TGunzipReader&) = delete;

  // Fills at most `size` bytes of `buffer` with inflated text and gives how many; 0 once the
  // last member has ended; -1 when the data is corrupt or ends inside a member (the reason in
  // `error`, and every later call gives -1 too).
  int Read(char* buffer, int size, std::string& error);

 private:
  z_stream zs_{};
  std::string_view rest_;  // compressed bytes not yet handed to zlib
  bool started_ = false;   // inflateInit2 succeeded
  bool ended_ = false;     // the last member ended
  std::string failure_;    // set once reading has failed
};

// True when text opens with the gzip magic bytes 1f 8b.
bool LooksGzipped(std::string_view text);
