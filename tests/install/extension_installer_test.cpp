// ExtensionInstaller over the in-memory service: how each answer becomes its flags and status line
// (a sweep), the wait for the camera after an install, and answers that come too late.
#include <gtest/gtest.h>
#include <memory>
#include <string>

#include "app/install/extension_installer.h"
#include "media/observable_testing.h"
#include "tests/testing/extension_service_memory.h"

namespace orlenta {
namespace {

using Kind = ExtensionRequest::Kind;
using Service = MemoryExtensionService;

struct Rig {
    ManualExecutor main;
    std::shared_ptr<Service> service = std::make_shared<Service>();
    std::shared_ptr<ExtensionInstaller> installer = ExtensionInstaller::create(service, main);

    void installAndComplete() {
        installer->install();
        Service::answerFinish(service->lastRequest(Kind::activation), kExtensionResultCompleted);
        main.runPending();
    }
};

TEST(ExtensionInstaller, EachAnswerBecomesTheStatusLineAndTheFlags) {
    enum class Ask { install, uninstall, status };
    struct Case {
        Ask ask;
        std::optional<ExtensionError> failure; // else it finishes with kExtensionResultCompleted
        std::string message;
        bool finishing = false;
    };
    const Case cases[] = {
        {Ask::install, {}, std::string(installer_text::installed), true},
        {Ask::uninstall, {}, ""},
        {Ask::install, ExtensionError{1, "the unit file is missing"},
         "Could not install: the unit file is missing."},
        {Ask::uninstall, ExtensionError{4, "process 12 does not end"},
         "Could not remove: process 12 does not end."},
        {Ask::install, ExtensionError{kExtensionErrorWrongLocation, "it is missing"},
         "Could not install: it is missing. Reinstall the orlenta-camera package (or build the "
         "project again), then try again."},
        // The status request's own finish or failure is no install's answer.
        {Ask::status, {}, "Installing\u2026"},
        {Ask::status, ExtensionError{1, "no bus"}, "Installing\u2026"},
    };
    for (const Case& c : cases) {
        Rig rig;
        rig.installer->uninstall(); // an install after a removal is an install
        rig.installer->install();
        if (c.ask == Ask::uninstall)
            rig.installer->uninstall();
        if (c.ask == Ask::status)
            rig.installer->checkStatus();
        const auto request = rig.service->requests().back();
        if (c.failure)
            Service::answerFail(request, *c.failure);
        else
            Service::answerFinish(request, kExtensionResultCompleted);
        rig.main.runPending();
        SCOPED_TRACE(c.message);
        EXPECT_EQ(rig.installer->message.get(), c.message);
        EXPECT_EQ(rig.installer->finishing.get(), c.finishing);
        // Only a completed install waits for the camera: needsRestart at 10 s, not before.
        rig.main.advance(9.9);
        EXPECT_FALSE(rig.installer->needsRestart.get());
        rig.main.advance(0.1);
        EXPECT_EQ(rig.installer->needsRestart.get(), c.finishing);
        EXPECT_EQ(rig.main.activeTimerCount(), 0u);
        // Installing again starts afresh.
        rig.installer->install();
        EXPECT_EQ(rig.installer->message.get(), "Installing\u2026");
        EXPECT_FALSE(rig.installer->finishing.get() || rig.installer->needsRestart.get());
    }
}

TEST(ExtensionInstaller, TheWaitForTheCameraEndsWithItsConnectionOrANewInstallAndLateAnswersDrop) {
    // The camera connects at 4 s, or the installer goes before the wait ends: no restart hint.
    Rig connected, gone;
    connected.installAndComplete();
    connected.main.advance(4);
    connected.installer->virtualCameraDidConnect();
    connected.main.advance(20);
    EXPECT_FALSE(connected.installer->needsRestart.get());
    gone.installAndComplete();
    gone.installer.reset();
    gone.main.advance(11);
    EXPECT_EQ(gone.main.activeTimerCount(), 0u);

    // Installing again clears the flags; the first wait ends at 10 s and finds the second install
    // finishing (completed at 4 s) or not yet (still under way).
    for (const bool secondCompletes : {true, false}) {
        Rig rig;
        rig.installAndComplete();
        rig.main.advance(3);
        rig.installer->install();
        rig.main.advance(1);
        if (secondCompletes)
            Service::answerFinish(rig.service->lastRequest(Kind::activation),
                                  kExtensionResultCompleted);
        rig.main.advance(6);
        EXPECT_EQ(rig.installer->needsRestart.get(), secondCompletes);
    }

    // An answer that comes after the installer has gone reaches no one.
    Rig late;
    late.installer->install();
    const auto request = late.service->lastRequest(Kind::activation);
    late.installer.reset();
    EXPECT_EQ(request->delegate(), nullptr);
    Service::answerFinish(request, kExtensionResultCompleted);
    EXPECT_EQ(late.main.runPending(), 1u);
    EXPECT_EQ(late.main.activeTimerCount(), 0u);
}

} // namespace
} // namespace orlenta
