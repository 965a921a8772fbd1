#pragma once

class MTUpdateProtocol;

// Status sink: told synchronously after status (and errorCode) have been stored.
class MTAccessCallback {
  public:
    virtual void Notify(MTUpdateProtocol& source) = 0;

  protected:
    ~MTAccessCallback() = default;
};
