#pragma once
// The transport contract the update protocol talks over.

#include <cstdint>

class MTAccessInterface {
  public:
    // True when the caller now holds the transport's exclusive lock.
    virtual bool Lock() = 0;
    virtual bool Unlock() = 0;
    // 0 when all count bytes were written.
    virtual int Send(const uint8_t* data, int count, int timeoutMs) = 0;
    // 0 when count bytes were read, 2 when fewer arrived within the time-out.
    virtual int Recv(uint8_t* buffer, int count, int* received, int timeoutMs) = 0;
    virtual int Close() = 0;
    virtual bool IsRecvEmpty() = 0;
    virtual void Purge() = 0;

  protected:
    // Never destroyed through the interface: every transport has one owner.
    ~MTAccessInterface() = default;
};
