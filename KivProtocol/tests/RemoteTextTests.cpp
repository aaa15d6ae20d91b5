#include <gtest/gtest.h>

#include "KivProtocol/KivConstants.hpp"
#include "KivProtocol/Localization.hpp"
#include "KivProtocol/RemoteText.hpp"

using namespace kiv;

TEST(RemoteText, MakeJoinsCodeAndArguments) {
    EXPECT_EQ(RemoteText::make(RemoteText::audioStartFailed, {"boom"}), "audio.startFailed|boom");
    EXPECT_EQ(RemoteText::make(RemoteText::compatRetina, {"1920×1200", "1680×1050"}),
              "compat.retina|1920×1200|1680×1050");
    EXPECT_EQ(RemoteText::make(RemoteText::compatMirror, std::initializer_list<std::string_view>{}), "compat.mirror");
}

TEST(RemoteText, LocalizedFillsArgumentsAndPassesUnknownTextThrough) {
    EXPECT_EQ(RemoteText::localized("compat.retina|1920×1200|1680×1050"),
              "The host doesn't accept 1920×1200, so 1680×1050 (HiDPI) is used instead.");
    EXPECT_EQ(RemoteText::localized("compat.retina|1920×1200"),
              "The host doesn't accept 1920×1200, so ? (HiDPI) is used instead.");
    EXPECT_EQ(RemoteText::localized("audio.startFailed"), "Sound capture couldn't start: ?");
    EXPECT_EQ(RemoteText::localized("audio.startFailed|"), "Sound capture couldn't start: ") << "empty parts are kept";
    EXPECT_EQ(RemoteText::localized("audio.startFailed|a|b"), "Sound capture couldn't start: a")
        << "extra arguments unused";
    EXPECT_EQ(RemoteText::localized("hello|x"), "hello|x");
    EXPECT_EQ(RemoteText::localized("Plain sentence."), "Plain sentence.");
    EXPECT_EQ(RemoteText::localized("touch.disabledOnMac"), "Touch control is turned off on the host");
    EXPECT_EQ(RemoteText::localized("audio.noOutputDevice"), "The host's output device couldn't be found.");
}

TEST(RemoteText, TranslationLookupReplacesTheEnglishTemplate) {
    setTranslationLookup([](std::string_view english) -> std::optional<std::string> {
        if (english == "Sound capture couldn't start: %1") return "声音采集无法启动：%1";
        if (english == "USB") return "USB 连接";
        return std::nullopt;
    });
    EXPECT_EQ(RemoteText::localized("audio.startFailed|boom"), "声音采集无法启动：boom");
    EXPECT_EQ(title(TransportKind::usb), "USB 连接");
    EXPECT_EQ(title(TransportKind::wifi), "Wi-Fi");
    setTranslationLookup({});
    EXPECT_EQ(title(TransportKind::usb), "USB");
}

TEST(KivConstants, ProtocolNumbersAndTransportKinds) {
    EXPECT_EQ(KivConstants::protocolVersion, 5);
    EXPECT_EQ(KivConstants::defaultControlPort, 52010);
    EXPECT_EQ(KivConstants::defaultVideoPort, 52011);
    EXPECT_EQ(KivConstants::defaultUSBPort, 52012);
    EXPECT_EQ(KivConstants::maxControlMessageSize, 0x40000);
    EXPECT_EQ(KivConstants::maxFrameSize, 0x800000);
    EXPECT_EQ(fromText<TransportKind>("usb"), TransportKind::usb);
    EXPECT_FALSE(fromText<TransportKind>("bluetooth").has_value());
    EXPECT_EQ(allCases<TransportKind>()[0], TransportKind::wifi);
}
