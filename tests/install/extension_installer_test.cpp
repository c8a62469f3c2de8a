#include <gtest/gtest.h>
#include <memory>
#include <string>

#include "app/install/extension_installer.h"
#include "media/dispatch.h"
#include "tests/testing/extension_service_memory.h"

namespace orlenta {
namespace {

using Kind = ExtensionRequest::Kind;

class CountingLauncher final : public SettingsLauncher {
public:
    bool preferredWorks = true;
    bool fallbackWorks = true;
    int preferredCalls = 0;
    int fallbackCalls = 0;
    bool openPreferred() override {
        ++preferredCalls;
        return preferredWorks;
    }
    bool openFallback() override {
        ++fallbackCalls;
        return fallbackWorks;
    }
};

struct InstallerFixture {
    ManualExecutor main;
    std::shared_ptr<MemoryExtensionService> service = std::make_shared<MemoryExtensionService>();
    std::shared_ptr<CountingLauncher> launcher = std::make_shared<CountingLauncher>();
    std::shared_ptr<ExtensionInstaller> installer =
        ExtensionInstaller::create(service, main, launcher);

    std::shared_ptr<ExtensionRequest> installAndComplete() {
        installer->install();
        auto request = service->lastRequest(Kind::activation);
        MemoryExtensionService::answerFinish(request, kExtensionResultCompleted);
        main.runPending();
        return request;
    }
};

ExtensionProperties entry(bool awaiting, bool uninstalling) {
    ExtensionProperties properties;
    properties.isAwaitingUserApproval = awaiting;
    properties.isUninstalling = uninstalling;
    return properties;
}

TEST(ExtensionInstaller, StartsEmptyAndSubmitsRequestsForTheDaemon) {
    InstallerFixture f;
    ASSERT_TRUE(f.installer);
    EXPECT_EQ(ExtensionInstaller::create(nullptr, f.main), nullptr);
    EXPECT_EQ(f.installer->message.get(), "");
    EXPECT_FALSE(f.installer->needsApproval.get());
    EXPECT_FALSE(f.installer->removing);
    EXPECT_FALSE(f.installer->finishing.get());
    EXPECT_FALSE(f.installer->needsRestart.get());
    EXPECT_EQ(f.installer->statusRequest, nullptr);

    f.installer->checkStatus();
    f.installer->install();
    f.installer->uninstall();
    const auto requests = f.service->requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0]->kind(), Kind::properties);
    EXPECT_EQ(requests[1]->kind(), Kind::activation);
    EXPECT_EQ(requests[2]->kind(), Kind::deactivation);
    for (const auto& request : requests) {
        EXPECT_EQ(request->identifier(), "example.orlenta.camera.extension");
        EXPECT_EQ(request->delegate(), f.installer);
        EXPECT_EQ(&request->executor(), &f.main);
    }
    EXPECT_EQ(f.installer->statusRequest, requests[0]);
    // Nothing is answered from inside the calls.
    EXPECT_EQ(f.main.pendingCount(), 0u);
}

TEST(ExtensionInstaller, InstallSetsItsFlagsInOrderAndKeepsApproval) {
    InstallerFixture f;
    f.installer->needsApproval.set(true);
    f.installer->needsRestart.set(true);
    f.installer->finishing.set(true);
    std::vector<std::string> order;
    f.installer->message.addObserver([&](const std::string& text) { order.push_back(text); });
    f.installer->finishing.addObserver([&](bool) { order.push_back("finishing"); });
    f.installer->needsRestart.addObserver([&](bool) { order.push_back("needsRestart"); });
    f.installer->removing = true;
    f.installer->install();
    EXPECT_EQ(order, (std::vector<std::string>{"Installing\u2026", "finishing", "needsRestart"}));
    EXPECT_FALSE(f.installer->removing);
    EXPECT_FALSE(f.installer->finishing.get());
    EXPECT_FALSE(f.installer->needsRestart.get());
    EXPECT_TRUE(f.installer->needsApproval.get());

    f.installer->uninstall();
    EXPECT_EQ(f.installer->message.get(), "Removing\u2026");
    EXPECT_TRUE(f.installer->removing);
}

TEST(ExtensionInstaller, CompletedActivationWaitsTenSecondsForTheCamera) {
    // No connection in time: needsRestart turns true at 10 s, not before.
    {
        InstallerFixture f;
        f.installAndComplete();
        EXPECT_EQ(f.installer->message.get(),
                  "Installed. You may need to restart your video app to see the camera.");
        EXPECT_TRUE(f.installer->finishing.get());
        f.main.advance(9.9);
        EXPECT_FALSE(f.installer->needsRestart.get());
        f.main.advance(0.1);
        EXPECT_TRUE(f.installer->needsRestart.get());
    }
    // The app reports the camera connected at 4 s: needsRestart stays false.
    {
        InstallerFixture f;
        f.installAndComplete();
        f.main.advance(4);
        f.installer->finishing.set(false);
        f.installer->needsRestart.set(false);
        f.main.advance(20);
        EXPECT_FALSE(f.installer->needsRestart.get());
        EXPECT_EQ(f.main.activeTimerCount(), 0u);
    }
    // The installer goes before the check fires: nothing happens.
    {
        InstallerFixture f;
        f.installAndComplete();
        f.installer.reset();
        f.main.advance(11);
        EXPECT_EQ(f.main.activeTimerCount(), 0u);
    }
}

TEST(ExtensionInstaller, InstallingTwiceQuickly) {
    InstallerFixture f;
    f.installAndComplete(); // check A due at 10 s
    f.main.advance(3);
    f.installer->install(); // resets finishing and needsRestart
    EXPECT_FALSE(f.installer->finishing.get());
    f.main.advance(1);
    MemoryExtensionService::answerFinish(f.service->lastRequest(Kind::activation),
                                         kExtensionResultCompleted); // check B due at 14 s
    f.main.runPending();
    EXPECT_TRUE(f.installer->finishing.get());
    // Check A fires at 10 s and sees finishing true again.
    f.main.advance(6.0);
    EXPECT_TRUE(f.installer->needsRestart.get());

    // Had the second activation not completed by then, check A finds finishing false.
    InstallerFixture g;
    g.installAndComplete();
    g.main.advance(3);
    g.installer->install();
    g.main.advance(8);
    EXPECT_FALSE(g.installer->needsRestart.get());
}

TEST(ExtensionInstaller, PropertiesAnswersOnlyCountForTheLatestStatusRequest) {
    InstallerFixture f;
    f.installer->checkStatus();
    auto older = f.installer->statusRequest;
    f.installer->checkStatus();
    auto newer = f.installer->statusRequest;
    ASSERT_NE(older, newer);
    f.installer->message.set("kept");

    // A stale answer that would set needsApproval is ignored.
    MemoryExtensionService::answerFoundProperties(older, {entry(true, false)});
    f.main.runPending();
    EXPECT_FALSE(f.installer->needsApproval.get());
    EXPECT_EQ(f.installer->message.get(), "kept");

    // Awaiting approval but uninstalling does not count.
    MemoryExtensionService::answerFoundProperties(newer, {entry(true, true)});
    f.main.runPending();
    EXPECT_FALSE(f.installer->needsApproval.get());
    EXPECT_EQ(f.installer->message.get(), "kept");

    MemoryExtensionService::answerFoundProperties(newer, {entry(false, false), entry(true, false)});
    f.main.runPending();
    EXPECT_TRUE(f.installer->needsApproval.get());
    EXPECT_EQ(f.installer->message.get(), "");

    // None awaiting clears it; the message stays.
    f.installer->message.set("kept");
    MemoryExtensionService::answerFoundProperties(newer, {});
    f.main.runPending();
    EXPECT_FALSE(f.installer->needsApproval.get());
    EXPECT_EQ(f.installer->message.get(), "kept");

    // Finishing or failing of the status request changes nothing.
    f.installer->needsApproval.set(true);
    const size_t assignments = f.installer->message.assignmentCount();
    MemoryExtensionService::answerFinish(newer, kExtensionResultCompleted);
    MemoryExtensionService::answerFail(newer, {3, "nope"});
    f.main.runPending();
    EXPECT_TRUE(f.installer->needsApproval.get());
    EXPECT_FALSE(f.installer->finishing.get());
    EXPECT_EQ(f.installer->message.assignmentCount(), assignments);

    // An older status request finishing counts as any other request's answer would.
    MemoryExtensionService::answerFinish(older, 7);
    f.main.runPending();
    EXPECT_EQ(f.installer->message.get(), "Done.");
}

TEST(ExtensionInstaller, ApprovalAndUninstalling) {
    InstallerFixture f;
    f.installer->install();
    MemoryExtensionService::answerNeedsUserApproval(f.service->lastRequest(Kind::activation));
    f.main.runPending();
    EXPECT_TRUE(f.installer->needsApproval.get());
    EXPECT_EQ(f.installer->message.get(), "");

    // Uninstalling while the approval is pending: the removal's answer clears it.
    f.installer->uninstall();
    MemoryExtensionService::answerFinish(f.service->lastRequest(Kind::deactivation),
                                         kExtensionResultCompleted);
    f.main.runPending();
    EXPECT_FALSE(f.installer->needsApproval.get());
    EXPECT_EQ(f.installer->message.get(), "");
    EXPECT_FALSE(f.installer->finishing.get());
    f.main.advance(15);
    EXPECT_FALSE(f.installer->needsRestart.get());

    // A status check while uninstalling reports the pending entry as not awaiting approval.
    f.installer->checkStatus();
    MemoryExtensionService::answerFoundProperties(f.installer->statusRequest, {entry(true, true)});
    f.main.runPending();
    EXPECT_FALSE(f.installer->needsApproval.get());
}

TEST(ExtensionInstaller, ResultTexts) {
    struct Case {
        bool removing;
        int result;
        const char* text;
    };
    const Case cases[] = {
        {false, 1, "Done."},
        {false, 2, "Done."},
        {true, -1, "Done."},
        {true, 0, ""},
    };
    for (const Case& c : cases) {
        InstallerFixture f;
        f.installer->needsApproval.set(true);
        c.removing ? f.installer->uninstall() : f.installer->install();
        auto request = f.service->requests().back();
        MemoryExtensionService::answerFinish(request, c.result);
        f.main.runPending();
        EXPECT_EQ(f.installer->message.get(), c.text) << c.removing << " " << c.result;
        EXPECT_FALSE(f.installer->needsApproval.get());
        EXPECT_FALSE(f.installer->finishing.get());
        EXPECT_EQ(f.main.activeTimerCount(), 0u);
    }
}

TEST(ExtensionInstaller, FailureTexts) {
    InstallerFixture f;
    f.installer->needsApproval.set(true);
    f.installer->install();
    MemoryExtensionService::answerFail(f.service->lastRequest(Kind::activation),
                                       {1, "the unit file is missing"});
    f.main.runPending();
    EXPECT_EQ(f.installer->message.get(), "Could not install: the unit file is missing.");
    EXPECT_FALSE(f.installer->needsApproval.get());

    f.installer->uninstall();
    MemoryExtensionService::answerFail(f.service->lastRequest(Kind::deactivation),
                                       {4, "process 12 does not end"});
    f.main.runPending();
    EXPECT_EQ(f.installer->message.get(), "Could not remove: process 12 does not end.");

    // A missing daemon program adds what to do about it.
    f.installer->install();
    MemoryExtensionService::answerFail(f.service->requests().back(),
                                       {kExtensionErrorWrongLocation, "it is missing"});
    f.main.runPending();
    EXPECT_EQ(f.installer->message.get(),
              "Could not install: it is missing. Reinstall the orlenta-camera package (or build "
              "the project again), then try again.");
}

TEST(ExtensionInstaller, AnswersAfterTheInstallerIsGoneAreDropped) {
    InstallerFixture f;
    f.installer->install();
    auto request = f.service->lastRequest(Kind::activation);
    EXPECT_EQ(f.installer->actionForReplacing(*request, {}, {}),
              ExtensionReplacementAction::replace);
    f.installer.reset();
    EXPECT_EQ(request->delegate(), nullptr);
    MemoryExtensionService::answerFinish(request, kExtensionResultCompleted);
    EXPECT_EQ(f.main.runPending(), 1u);
    EXPECT_EQ(f.main.activeTimerCount(), 0u);
}

TEST(ExtensionInstaller, OpenSystemSettingsFallsBackOnce) {
    InstallerFixture f;
    f.installer->openSystemSettings();
    EXPECT_EQ(f.launcher->preferredCalls, 1);
    EXPECT_EQ(f.launcher->fallbackCalls, 0);

    f.launcher->preferredWorks = false;
    f.launcher->fallbackWorks = false;
    f.installer->openSystemSettings();
    EXPECT_EQ(f.launcher->preferredCalls, 2);
    EXPECT_EQ(f.launcher->fallbackCalls, 1);
    EXPECT_EQ(f.installer->message.get(), "");
}

} // namespace
} // namespace orlenta
