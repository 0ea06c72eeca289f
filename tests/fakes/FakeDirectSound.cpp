#include "fakes/FakeDirectSound.h"

#include <algorithm>

FakeSoundBuffer::FakeSoundBuffer(FakeDirectSound& owner, const DSBUFFERDESC1& description)
    : description(description), format(*description.lpwfxFormat),
      memory(description.dwBufferBytes, 0xA5), owner(owner) {}

std::string FakeSoundBuffer::name() const {
    return std::string(memory.begin(), memory.end());
}

HRESULT FakeSoundBuffer::QueryInterface(REFIID, void** object) {
    *object = nullptr;
    return E_NOINTERFACE;
}

// Like the real one, the last Release silences the buffer; the test hears it as "cut".
ULONG FakeSoundBuffer::Release() {
    if (--references == 0 && playing) {
        owner.record("cut " + name());
        playing = false;
    }
    return static_cast<ULONG>(references);
}

HRESULT FakeSoundBuffer::GetStatus(LPDWORD status) {
    *status = (playing ? DSBSTATUS_PLAYING : 0) |
              (playing && (playFlags & DSBPLAY_LOOPING) ? DSBSTATUS_LOOPING : 0) |
              (lost ? DSBSTATUS_BUFFERLOST : 0);
    return DS_OK;
}

HRESULT FakeSoundBuffer::Lock(DWORD offset, DWORD, LPVOID* audio1, LPDWORD audioBytes1,
                              LPVOID* audio2, LPDWORD audioBytes2, DWORD flags) {
    if (owner.failLocks || lost || locked)
        return DSERR_INVALIDPARAM;
    if (offset != 0 || (flags & DSBLOCK_ENTIREBUFFER) == 0)
        return DSERR_INVALIDPARAM;
    *audio1 = memory.data();
    *audioBytes1 = static_cast<DWORD>(memory.size());
    if (audio2 != nullptr)
        *audio2 = nullptr;
    if (audioBytes2 != nullptr)
        *audioBytes2 = 0;
    locked = true;
    return DS_OK;
}

HRESULT FakeSoundBuffer::Play(DWORD, DWORD, DWORD flags) {
    if (owner.loseOnFirstPlay.erase(name()) != 0)
        lost = true;
    owner.record("play " + name() + " " + std::to_string(flags));
    if (lost)
        return DSERR_BUFFERLOST;
    if (references == 0)
        return DSERR_INVALIDCALL;
    playing = true;
    playFlags = flags;
    ++plays;
    return DS_OK;
}

HRESULT FakeSoundBuffer::SetCurrentPosition(DWORD position) {
    owner.record("rewind " + name() + " " + std::to_string(position));
    return lost ? DSERR_BUFFERLOST : DS_OK;
}

HRESULT FakeSoundBuffer::Stop() {
    owner.record("stop " + name());
    playing = false;
    return DS_OK;
}

HRESULT FakeSoundBuffer::Unlock(LPVOID audio1, DWORD audioBytes1, LPVOID, DWORD) {
    if (!locked || audio1 != memory.data())
        return DSERR_INVALIDPARAM;
    locked = false;
    unlockedBytes = audioBytes1;
    return DS_OK;
}

// The memory comes back, its contents do not.
HRESULT FakeSoundBuffer::Restore() {
    owner.record("restore " + name());
    if (restoreFails)
        return DSERR_BUFFERLOST;
    lost = false;
    std::fill(memory.begin(), memory.end(), static_cast<BYTE>(0xA5));
    return DS_OK;
}

HRESULT FakeDirectSound::QueryInterface(REFIID, void** object) {
    *object = nullptr;
    return E_NOINTERFACE;
}

HRESULT FakeDirectSound::CreateSoundBuffer(LPCDSBUFFERDESC description,
                                           LPLPDIRECTSOUNDBUFFER buffer, IUnknown* outer) {
    *buffer = nullptr;
    const auto* first = reinterpret_cast<const DSBUFFERDESC1*>(description);
    asked.push_back(first->dwBufferBytes);
    if (beforeCreate)
        beforeCreate();
    if (refuseBuffers || outer != nullptr || first->lpwfxFormat == nullptr ||
        first->dwBufferBytes == 0)
        return DSERR_INVALIDPARAM;
    buffers.push_back(std::make_unique<FakeSoundBuffer>(*this, *first));
    *buffer = buffers.back().get();
    return DS_OK;
}

int FakeDirectSound::liveBuffers() const {
    int live = 0;
    for (const auto& buffer : buffers)
        live += buffer->references > 0 ? 1 : 0;
    return live;
}
