#pragma once
// A sound device for tests: it plays nothing, but records what was asked of it and can be made
// to lose buffers, refuse them or fail to lock and restore them, which a real device cannot be
// made to do on request. Buffers are owned by the device and outlive their last Release, so a
// test can still look at them.

#include <windows.h>
#include <mmsystem.h>
#include <dsound.h>

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

class FakeDirectSound;

class FakeSoundBuffer : public IDirectSoundBuffer {
  public:
    FakeSoundBuffer(FakeDirectSound& owner, const DSBUFFERDESC1& description);

    // Test files carry their own name as sample bytes, so a buffer knows which effect it holds.
    std::string name() const;
    void finishPlaying() { playing = false; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++references); }
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE GetCaps(LPDSBCAPS) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetCurrentPosition(LPDWORD, LPDWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetFormat(LPWAVEFORMATEX, DWORD, LPDWORD) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetVolume(LPLONG) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetPan(LPLONG) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetFrequency(LPDWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetStatus(LPDWORD status) override;
    HRESULT STDMETHODCALLTYPE Initialize(LPDIRECTSOUND, LPCDSBUFFERDESC) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Lock(DWORD offset, DWORD bytes, LPVOID* audio1, LPDWORD audioBytes1,
                                   LPVOID* audio2, LPDWORD audioBytes2, DWORD flags) override;
    HRESULT STDMETHODCALLTYPE Play(DWORD reserved, DWORD priority, DWORD flags) override;
    HRESULT STDMETHODCALLTYPE SetCurrentPosition(DWORD position) override;
    HRESULT STDMETHODCALLTYPE SetFormat(LPCWAVEFORMATEX) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetVolume(LONG) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetPan(LONG) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetFrequency(DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Stop() override;
    HRESULT STDMETHODCALLTYPE Unlock(LPVOID audio1, DWORD audioBytes1, LPVOID audio2,
                                     DWORD audioBytes2) override;
    HRESULT STDMETHODCALLTYPE Restore() override;

    DSBUFFERDESC1 description;
    WAVEFORMATEX format;
    std::vector<BYTE> memory;
    int references = 1;
    bool lost = false;
    bool restoreFails = false;
    bool locked = false;
    DWORD unlockedBytes = 0;
    bool playing = false;
    DWORD playFlags = 0;
    int plays = 0;

  private:
    FakeDirectSound& owner;
};

class FakeDirectSound : public IDirectSound {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++references); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--references); }
    HRESULT STDMETHODCALLTYPE CreateSoundBuffer(LPCDSBUFFERDESC description,
                                                LPLPDIRECTSOUNDBUFFER buffer,
                                                IUnknown* outer) override;
    HRESULT STDMETHODCALLTYPE GetCaps(LPDSCAPS) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE DuplicateSoundBuffer(LPDIRECTSOUNDBUFFER,
                                                   LPLPDIRECTSOUNDBUFFER) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE SetCooperativeLevel(HWND, DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Compact() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetSpeakerConfig(LPDWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetSpeakerConfig(DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Initialize(LPCGUID) override { return E_NOTIMPL; }

    void record(const std::string& event) { events.push_back(event); }
    FakeSoundBuffer* last() const { return buffers.empty() ? nullptr : buffers.back().get(); }
    int liveBuffers() const;

    int references = 1;
    bool refuseBuffers = false;
    bool failLocks = false;
    // Runs as a buffer is asked for; a test may throw from it, as a failing device might.
    std::function<void()> beforeCreate;
    // The size of every buffer asked for, refused ones included.
    std::vector<DWORD> asked;
    // Buffers holding one of these effects are lost by the time they are first played.
    std::set<std::string> loseOnFirstPlay;
    std::vector<std::unique_ptr<FakeSoundBuffer>> buffers;
    // "play NAME FLAGS", "rewind NAME", "restore NAME", and whatever the test adds.
    std::vector<std::string> events;
};
