#include "TLSTransport.hh"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cstring>

#include "UsageEnvironment.hh"

TLSTransport::TLSTransport(ssl_st* ssl, int socketNum)
    : ByteTransport(socketNum), fSSL(ssl), fHandshakeWants(SOCKET_READABLE) {}

TLSTransport::~TLSTransport() {
  // No close_notify: the connection is going whatever the peer does, and a
  // write now could only wait.
  SSL_free(fSSL);
}

bool TLSTransport::progress() {
  if (fFailed) return false;
  if (fReady) return true;
  ERR_clear_error();
  int r = SSL_do_handshake(fSSL);
  if (r == 1) {
    fReady = true;
    // The handshake's record buffers: an idle session holds none.
    SSL_free_buffers(fSSL);
    return true;
  }
  switch (SSL_get_error(fSSL, r)) {
    case SSL_ERROR_WANT_READ:
      fHandshakeWants = SOCKET_READABLE;
      return true;
    case SSL_ERROR_WANT_WRITE:
      fHandshakeWants = SOCKET_WRITABLE;
      return true;
    default:  // an alert, garbage, or the peer gone
      ERR_clear_error();
      fFailed = true;
      return false;
  }
}

int TLSTransport::wantedEvents() const {
  if (fFailed) return 0;
  if (!fReady) return fHandshakeWants;
  return (fReadWantsWritable ? SOCKET_WRITABLE : 0) | (fWriteWantsReadable ? SOCKET_READABLE : 0);
}

ssize_t TLSTransport::read(unsigned char* buf, size_t size) {
  if (fFailed || !fReady) return fFailed ? 0 : -1;
  ERR_clear_error();
  fReadWantsWritable = false;
  int n = SSL_read(fSSL, buf, static_cast<int>(size));
  if (n > 0) return n;
  switch (SSL_get_error(fSSL, n)) {
    case SSL_ERROR_WANT_READ:
      return -1;
    case SSL_ERROR_WANT_WRITE:
      fReadWantsWritable = true;
      return -1;
    default:  // close_notify, an alert, garbage, or the peer gone
      ERR_clear_error();
      fFailed = true;
      return 0;
  }
}

size_t TLSTransport::bufferedInput() const { return fReady && !fFailed ? static_cast<size_t>(SSL_pending(fSSL)) : 0; }

int TLSTransport::sendRecord() {
  while (fRecordSize > 0) {
    ERR_clear_error();
    fWriteWantsReadable = false;
    int n = SSL_write(fSSL, fRecord.get(), static_cast<int>(fRecordSize));
    if (n > 0) {
      size_t const sent = static_cast<size_t>(n);
      if (sent < fRecordSize) std::memmove(fRecord.get(), fRecord.get() + sent, fRecordSize - sent);
      fRecordSize -= sent;
      continue;
    }
    switch (SSL_get_error(fSSL, n)) {
      case SSL_ERROR_WANT_WRITE:
        return 0;
      case SSL_ERROR_WANT_READ:
        fWriteWantsReadable = true;
        return 0;
      default:
        ERR_clear_error();
        fFailed = true;
        return -1;
    }
  }
  return 1;
}

ssize_t TLSTransport::writeBurst(struct iovec const* iov, size_t count, bool& blocked) {
  blocked = false;
  if (fFailed) return -1;
  if (!fReady) {
    blocked = count > 0;
    return 0;
  }
  int r = sendRecord();
  if (r <= 0) {
    blocked = true;
    return r;
  }
  size_t taken = 0, i = 0, offset = 0;
  if (count > 0 && !fRecord) fRecord.reset(new unsigned char[kMaxRecord]);
  while (i < count) {
    // The next record: as many of the pieces as fit.
    while (i < count && fRecordSize < kMaxRecord) {
      size_t const piece = std::min(iov[i].iov_len - offset, kMaxRecord - fRecordSize);
      std::memcpy(fRecord.get() + fRecordSize, static_cast<unsigned char const*>(iov[i].iov_base) + offset, piece);
      fRecordSize += piece;
      offset += piece;
      if (offset == iov[i].iov_len) {
        ++i;
        offset = 0;
      }
    }
    taken += fRecordSize;
    r = sendRecord();
    if (r < 0) return -1;
    if (r == 0) {  // the record is the transport's now; it goes first next time
      blocked = true;
      return static_cast<ssize_t>(taken);
    }
  }
  if (!fStreaming) fRecord.reset();
  return static_cast<ssize_t>(taken);
}

void TLSTransport::setStreaming(bool streaming) {
  fStreaming = streaming;
  if (!streaming && fRecordSize == 0) fRecord.reset();
  // Buffers given back after every record would cost an allocation per burst.
  if (streaming) {
    SSL_clear_mode(fSSL, SSL_MODE_RELEASE_BUFFERS);
  } else {
    SSL_set_mode(fSSL, SSL_MODE_RELEASE_BUFFERS);
  }
}
