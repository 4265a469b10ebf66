#pragma once
// Records the boxes a run shows and closes each as a user does: a message box by a click on
// its first button (rejected when it has none), a modal window rejected.
//
//   BoxRecorder boxes;
//   boxes.install(run);
//   ... QCOMPARE(boxes.waited, QStringList{"Ti sei registrato, ..."});
#include <QString>
#include <QStringList>
#include <functional>

class AppRun;
class QDialog;

struct BoxRecorder {
    // The texts of the message boxes that waited, in order, and the titles of the modal
    // windows that were rejected.
    QStringList waited;
    // Called while a message box waits, before it closes.
    std::function<void(const QString&)> onBox;
    // When set, a modal window is handed to it instead (not recorded, not rejected).
    std::function<void(QDialog&)> onWindow;

    // Makes this the run's wait hook; the recorder must outlive the run's boxes.
    void install(AppRun& run);
};
