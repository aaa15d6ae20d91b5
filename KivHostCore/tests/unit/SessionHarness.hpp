#pragma once
// A session over fakes in virtual time, admitted the way the service admits it.
#include <gtest/gtest.h>

#include "KivHostCore/Service/HostService.hpp"
#include "KivHostCore/Testing/FakeHostPlatform.hpp"
#include "KivHostCore/Testing/FakeHostTransport.hpp"
#include "KivHostCore/Testing/LogProbe.hpp"

using namespace kiv;
using namespace std::chrono_literals;
using test::countLogged;
using test::logged;

inline Hello helloFrom(const std::string& id, std::optional<std::string> token = std::nullopt) {
    Hello hello;
    hello.deviceID = id;
    hello.deviceName = "Desk iPad";
    hello.model = "iPad13,4";
    hello.systemVersion = "17.4";
    hello.screen = {1366, 1024, 1, Orientation::landscape};
    hello.token = std::move(token);
    return hello;
}

inline int count(const FakeHostTransport& link, ControlMessage::Case kind) {
    return static_cast<int>(std::count_if(link.controls.begin(), link.controls.end(),
                                          [&](const ControlMessage& m) { return m.kind() == kind; }));
}

inline std::optional<RejectReason> rejected(const FakeHostTransport& link) {
    if (!link.closedWith || !*link.closedWith) return std::nullopt;
    if (const auto* reason = (*link.closedWith)->get<RejectReason>()) return *reason;
    return std::nullopt;
}

struct SessionHarness {
    ManualExecutor main;
    FakeHostPlatform platform{main};
    std::shared_ptr<InMemoryPairingStore> pairing = std::make_shared<InMemoryPairingStore>();
    std::shared_ptr<DisplayOperationGate> gate = DisplayOperationGate::create(main);
    std::shared_ptr<MuteCoordinator> muter; // none unless a test gives one
    std::shared_ptr<DisplaySession> session;
    std::vector<PeerRequest> asked;
    std::vector<DisplaySession::ApprovalReply> replies;
    bool autoApprove = true;
    int linkCount = 0;

    explicit SessionHarness(const std::string& id = "device-1", std::function<void(HostSettings&)> tweak = {}) {
        KivLogStore::shared().clear();
        HostSettings settings;
        settings.serviceName = "Host";
        settings.hostID = "HOST-ID";
        if (tweak) tweak(settings);
        session = make(id, settings);
    }
    std::shared_ptr<DisplaySession> make(const std::string& id, const HostSettings& settings) {
        auto s = DisplaySession::create(id, settings, FrameSourceKind::screenCapture, pairing, muter, gate,
                                        platform.ports, main);
        s->approvalHandler = [this](const PeerRequest& request, DisplaySession::ApprovalReply reply) {
            asked.push_back(request);
            if (autoApprove) return reply(true);
            replies.push_back(std::move(reply));
        };
        s->start();
        return s;
    }
    std::shared_ptr<FakeHostTransport> link(TransportKind kind = TransportKind::wifi) {
        return std::make_shared<FakeHostTransport>(kind, "link-" + std::to_string(++linkCount));
    }
    // Routes a hello as the service does, then lets admission run.
    void hello(DisplaySession& s, const std::shared_ptr<FakeHostTransport>& link, const Hello& hello) {
        s.wire(link);
        s.addOpenChannel(link);
        s.handleHello(hello, link);
        main.advance(1s); // past the display gate's spacing
    }
    std::shared_ptr<FakeHostTransport> admit(const std::string& token = {}) {
        auto l = link();
        hello(*session, l, helloFrom(session->deviceID(), token.empty() ? std::nullopt : std::optional(token)));
        return l;
    }
    void closeFromPeer(const std::shared_ptr<FakeHostTransport>& link) {
        link->open = false;
        session->linkClosed(link->id());
        main.runUntilIdle();
    }
    std::string tokenOf(const FakeHostTransport& link) {
        for (const auto& m : link.controls)
            if (const auto* c = m.get<ConnectInfo>()) return c->token;
        return {};
    }
};
