// Interfaces are found by virtual slot, so the slot of every operation is part of the
// contract: hosts and engines built against an older header call and implement the slots it
// had. Under the Itanium C++ ABI a pointer to a virtual member function holds 1 + the byte
// offset of its vtable entry, which gives the slot back.
#include "IStreamCore.h"
#include "mediakit/IVideoConvert.h"
#include "mediatap/IMediaTap.h"
#include "record/IRecord.h"
#include "rtmplink/IRtmpMgr.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {
template <typename F>
long Slot(F f) {
    static_assert(sizeof(F) == 2 * sizeof(void*), "Itanium member pointer");
    long raw;
    std::memcpy(&raw, &f, sizeof raw);
    return (raw - 1) / static_cast<long>(sizeof(void*));
}
}  // namespace

TEST(Contracts, CaptureEngineSlots) {
    EXPECT_EQ(Slot(&IMediaTap::Reserved0), 0);
    EXPECT_EQ(Slot(&IMediaTap::GetCameraCount), 1);
    EXPECT_EQ(Slot(&IMediaTap::RemoveAllVideoWindows), 8);
    EXPECT_EQ(Slot(&IMediaTap::StartEncodeVideo), 9);
    EXPECT_EQ(Slot(&IMediaTap::GetVideoParamA), 14);
    EXPECT_EQ(Slot(&IMediaTap::StartCapturePicture), 19);
    EXPECT_EQ(Slot(&IMediaTap::StartCaptureApplication), 22);
    EXPECT_EQ(Slot(&IMediaTap::StopCaptureApplication), 23);
    EXPECT_EQ(Slot(&IMediaTap::SetVideoBitrate), 63);
    EXPECT_EQ(Slot(&IMediaTap::CreateRemoteVideo), 27);
    EXPECT_EQ(Slot(&IMediaTap::CloseRemoteVideo), 30);
    EXPECT_EQ(Slot(&IMediaTap::PlayRemoteAudioData), 32);
    EXPECT_EQ(Slot(&IMediaTap::GetMicphoneCount), 36);
    EXPECT_EQ(Slot(&IMediaTap::CloseMic), 41);
    EXPECT_EQ(Slot(&IMediaTap::OpenSpeaker), 43);
    EXPECT_EQ(Slot(&IMediaTap::PlayRemoteVideoData), 46);
    EXPECT_EQ(Slot(&IMediaTap::SetMicVolume), 48);
    EXPECT_EQ(Slot(&IMediaTap::GetMuteStatus), 54);
    EXPECT_EQ(Slot(&IMediaTap::StartEncodeMixer), 55);
    EXPECT_EQ(Slot(&IMediaTap::GetTestSpkLevel), 62);

    EXPECT_EQ(Slot(&IMediaTapSink::OnSendVideoPacketCount), 0);
    EXPECT_EQ(Slot(&IMediaTapSink::OnRtpVideoData), 1);
    EXPECT_EQ(Slot(&IMediaTapSink::OnAudioData), 2);
    EXPECT_EQ(Slot(&IMediaTapSink::OnMixerAudioData), 3);
    EXPECT_EQ(Slot(&IMediaTapSink::OnMixerAudioHeaderData), 4);
    EXPECT_EQ(Slot(&IMediaTapSink::OnMixerAudioDataAt), 5);
    EXPECT_EQ(Slot(&IMediaTapSink::OnSourceEnded), 6);
}

TEST(Contracts, HostSinksKeepTheirSlotsAndNewCallbacksHaveInterfacesOfTheirOwn) {
    EXPECT_EQ(Slot(&StreamCoreSink::OnStreamCoreEvent), 0);
    EXPECT_EQ(Slot(&StreamCoreSink::OnPublishResult), 1);
    EXPECT_EQ(Slot(&StreamCoreSink::OnPlayResult), 2);
    EXPECT_EQ(Slot(&IStreamCoreBitrateSink::OnBitrateChanged), 0);
    EXPECT_EQ(Slot(&IStreamCore::StopPlay), 53);
    EXPECT_EQ(Slot(&IStreamCore::SetBitrateSink), 54);

    EXPECT_EQ(Slot(&IRtmpMgrSink::OnPublishEvent), 0);
    EXPECT_EQ(Slot(&IRtmpMgrSink::OnPlayAudioData), 3);
    EXPECT_EQ(Slot(&IRtmpLinkSink::OnPublishLink), 0);
    EXPECT_EQ(Slot(&IRtmpMgr::SetRtmpMgrSink), 18);
    EXPECT_EQ(Slot(&IRtmpMgr::SetLinkSink), 19);
}

TEST(Contracts, RecorderAndConverterSlots) {
    EXPECT_EQ(Slot(&IRecord::Open), 0);
    EXPECT_EQ(Slot(&IRecord::WriteAudio), 1);
    EXPECT_EQ(Slot(&IRecord::WriteVideo), 2);
    EXPECT_EQ(Slot(&IRecord::SetAudioHeader), 3);
    EXPECT_EQ(Slot(&IRecord::Close), 4);

    EXPECT_EQ(Slot(&IVideoConvert::Init), 1);
    EXPECT_EQ(Slot(&IVideoConvert::Convert), 2);
}
