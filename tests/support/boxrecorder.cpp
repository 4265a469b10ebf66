#include "boxrecorder.h"

#include "apprun.h"

#include <QAbstractButton>
#include <QDialog>
#include <QMessageBox>

void BoxRecorder::install(AppRun& run)
{
    run.setWaitHook([this](QWidget& w) {
        if (auto* box = qobject_cast<QMessageBox*>(&w)) {
            waited << box->text();
            if (onBox)
                onBox(box->text());
            if (!box->buttons().isEmpty())
                box->buttons().first()->click();
            else
                box->reject();
        } else if (auto* dialog = qobject_cast<QDialog*>(&w)) {
            if (onWindow) {
                onWindow(*dialog);
                return;
            }
            waited << dialog->windowTitle();
            dialog->reject();
        }
    });
}
