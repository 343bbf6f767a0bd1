// The serial calls of PosixApi: handle checks, then the device does the work.
#include "platform/posix/device.h"
#include "platform/posix/posix_api.h"

namespace platform::posix {

HANDLE PosixApi::CreateFileA(const char *fileName, DWORD desiredAccess, DWORD shareMode, void *,
                             DWORD creationDisposition, DWORD, HANDLE) {
  return Guarded(INVALID_HANDLE_VALUE, [&]() -> HANDLE {
    DWORD error = ERROR_SUCCESS;
    auto device = Device::Open(fileName, desiredAccess, shareMode, creationDisposition, &error);
    if (!device) {
      SetError(error);
      return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = AddHandle(std::move(device));  // the device closes if it is not kept
    return handle != nullptr ? handle : INVALID_HANDLE_VALUE;
  });
}

DWORD PosixApi::GetFileType(HANDLE file) {
  return Guarded(DWORD{FILE_TYPE_UNKNOWN}, [&]() -> DWORD {
    auto device = Lookup<Device>(file);
    return device ? device->FileType() : FILE_TYPE_UNKNOWN;
  });
}

BOOL PosixApi::SetupComm(HANDLE file, DWORD, DWORD) {
  return Guarded(FALSE, [&]() -> BOOL {
    auto device = Lookup<Device>(file);
    return device ? device->Setup() : FALSE;
  });
}

BOOL PosixApi::PurgeComm(HANDLE file, DWORD flags) {
  return Guarded(FALSE, [&]() -> BOOL {
    auto device = Lookup<Device>(file);
    return device ? device->Purge(flags) : FALSE;
  });
}

BOOL PosixApi::GetCommState(HANDLE file, DCB *dcb) {
  return Guarded(FALSE, [&]() -> BOOL {
    auto device = Lookup<Device>(file);
    return device ? device->GetState(dcb) : FALSE;
  });
}

BOOL PosixApi::SetCommState(HANDLE file, DCB *dcb) {
  return Guarded(FALSE, [&]() -> BOOL {
    auto device = Lookup<Device>(file);
    if (!device) return FALSE;
    if (dcb == nullptr) {
      SetError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    return device->SetState(*dcb);
  });
}

BOOL PosixApi::SetCommTimeouts(HANDLE file, COMMTIMEOUTS *timeouts) {
  return Guarded(FALSE, [&]() -> BOOL {
    auto device = Lookup<Device>(file);
    if (!device) return FALSE;
    if (timeouts == nullptr) {
      SetError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    return device->SetTimeouts(*timeouts);
  });
}

BOOL PosixApi::SetCommMask(HANDLE file, DWORD mask) {
  return Guarded(FALSE, [&]() -> BOOL {
    auto device = Lookup<Device>(file);
    return device ? device->SetMask(mask) : FALSE;
  });
}

BOOL PosixApi::WaitCommEvent(HANDLE file, DWORD *eventMask, OVERLAPPED *overlapped) {
  return Guarded(FALSE, [&]() -> BOOL {
    auto device = Lookup<Device>(file);
    return device ? device->WaitEvent(eventMask, overlapped) : FALSE;
  });
}

BOOL PosixApi::ReadFile(HANDLE file, void *buffer, DWORD toRead, DWORD *read,
                        OVERLAPPED *overlapped) {
  return Guarded(FALSE, [&]() -> BOOL {
    auto device = Lookup<Device>(file);
    return device ? device->Read(buffer, toRead, read, overlapped) : FALSE;
  });
}

BOOL PosixApi::WriteFile(HANDLE file, const void *buffer, DWORD toWrite, DWORD *written,
                         OVERLAPPED *overlapped) {
  return Guarded(FALSE, [&]() -> BOOL {
    auto device = Lookup<Device>(file);
    return device ? device->Write(buffer, toWrite, written, overlapped) : FALSE;
  });
}

BOOL PosixApi::GetOverlappedResult(HANDLE file, OVERLAPPED *overlapped, DWORD *transferred,
                                   BOOL wait) {
  return Guarded(FALSE, [&]() -> BOOL {
    if (overlapped == nullptr) {
      SetError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    ULONG_PTR status = __atomic_load_n(&overlapped->Internal, __ATOMIC_ACQUIRE);
    if (status == kOverlappedPending) {
      if (!wait) {
        SetError(ERROR_IO_INCOMPLETE);
        return FALSE;
      }
      // As on Windows: wait once on the record's event (or on the device when
      // it has none), then report what the record says.
      if (overlapped->hEvent != nullptr) {
        auto event = Lookup<Event>(overlapped->hEvent);
        if (!event) return FALSE;
        std::vector<std::shared_ptr<KernelObject>> waitOn{event};
        WaitAny(waitOn, nullptr, INFINITE);
      } else {
        auto device = Lookup<Device>(file);
        if (!device) return FALSE;
        device->WaitCompletion(overlapped);
      }
      status = __atomic_load_n(&overlapped->Internal, __ATOMIC_ACQUIRE);
      if (status == kOverlappedPending) {
        SetError(ERROR_IO_INCOMPLETE);
        return FALSE;
      }
    }
    if (transferred != nullptr) *transferred = static_cast<DWORD>(overlapped->InternalHigh);
    if (status != ERROR_SUCCESS) {
      SetError(static_cast<DWORD>(status));
      return FALSE;
    }
    return TRUE;
  });
}

BOOL PosixApi::ClearCommError(HANDLE file, DWORD *errors, COMSTAT *stat) {
  return Guarded(FALSE, [&]() -> BOOL {
    auto device = Lookup<Device>(file);
    return device ? device->ClearError(errors, stat) : FALSE;
  });
}

BOOL PosixApi::CancelIo(HANDLE file) {
  return Guarded(FALSE, [&]() -> BOOL {
    auto device = Lookup<Device>(file);
    if (!device) return FALSE;
    device->Cancel(CurrentThreadId());
    return TRUE;
  });
}

}  // namespace platform::posix
