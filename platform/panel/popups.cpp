// Pop-ups: the file dialog, messages and questions, each answered by the operator or, while a
// scripted operator runs, from its queue of answers; an end request closes an open dialog as if
// cancelled.
#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/core/endrequest.h"
#include "platform/panel/ui_panel.h"

PopupObserver g_popupObserver = nullptr;
RowDumper g_rowDumper = nullptr;

namespace {

bool g_waitCursor = false;

// While a modal dialog waits for the operator, an end request closes it as if cancelled.
void rejectOnEndRequest(QDialog *dlg, QTimer *t) {
    QObject::connect(t, &QTimer::timeout, dlg, [dlg]() {
        if (EndRequestReceived()) dlg->reject();
    });
    t->start(50);
}

// Copies a chosen path into the caller's 300-character buffer; false when it does not fit (a cut
// path would name a different file).
bool putPath(const std::string &s, char path[]) {
    if (!path) return true;
    if (s.size() > 299) {
        fprintf(stderr, "panel: file path longer than 299 characters refused: %s\n", s.c_str());
        path[0] = 0;
        return false;
    }
    memcpy(path, s.c_str(), s.size() + 1);
    return true;
}

}  // namespace

int FileSelectPopup(const char *defaultDirectory, const char *defaultFileSpec, const char *fileTypeList,
                    const char *title, int buttonLabel, int restrictDirectory, int restrictExtension,
                    int allowCancel, int allowMakeDirectory, char path[]) {
    if (path) path[0] = 0;
    std::string chosen;
    if (op_active()) {
        // The scripted operator answers from its queue of file answers.
        int a = op_take_answer('f', &chosen);
        if (a == 'c') return VAL_NO_FILE_SELECTED;
        if (a != 'f') {
            fprintf(stderr, "operator: no file answer queued for \"%s\"; cancelled\n", title ? title : "");
            return VAL_NO_FILE_SELECTED;
        }
    } else {
        QString spec = defaultFileSpec ? QString::fromLocal8Bit(defaultFileSpec) : QString();
        QStringList filters;
        QString types = fileTypeList ? QString::fromLocal8Bit(fileTypeList) : QString();
        QStringList pats;
        if (spec.contains('*')) pats << spec;
        for (const QString &p : types.split(';', Qt::SkipEmptyParts))
            if (!pats.contains(p.trimmed())) pats << p.trimmed();
        if (!pats.isEmpty()) filters << QString("Files (%1)").arg(pats.join(' '));
        filters << "All files (*)";
        QFileDialog dlg(QApplication::activeWindow(), title ? QString::fromLocal8Bit(title) : QString());
        QString dir = defaultDirectory && *defaultDirectory ? QString::fromLocal8Bit(defaultDirectory) : QString(".");
        dlg.setDirectory(dir);
        dlg.setNameFilters(filters);
        if (!spec.isEmpty() && !spec.contains('*')) dlg.selectFile(spec);
        if (buttonLabel == VAL_SAVE_BUTTON) {
            dlg.setAcceptMode(QFileDialog::AcceptSave);
            dlg.setFileMode(QFileDialog::AnyFile);
        } else if (buttonLabel == VAL_SELECT_BUTTON) {
            dlg.setAcceptMode(QFileDialog::AcceptOpen);
            dlg.setFileMode(QFileDialog::AnyFile);
        } else {
            dlg.setAcceptMode(QFileDialog::AcceptOpen);
            dlg.setFileMode(QFileDialog::ExistingFile);
        }
        dlg.setLabelText(QFileDialog::Accept, buttonLabel == VAL_SAVE_BUTTON     ? "Save"
                                              : buttonLabel == VAL_SELECT_BUTTON ? "Select"
                                                                                 : "Load");
        dlg.setOption(QFileDialog::ReadOnly, !allowMakeDirectory);  // no new folders from the dialog
        dlg.setOption(QFileDialog::DontUseNativeDialog);  // labels and patterns as given, on any desktop
        if (restrictExtension && spec.startsWith("*.") && !spec.mid(2).contains('*'))
            dlg.setDefaultSuffix(spec.mid(2));
        QTimer endWatch;
        rejectOnEndRequest(&dlg, &endWatch);
        if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty()) return VAL_NO_FILE_SELECTED;
        chosen = dlg.selectedFiles().first().toLocal8Bit().toStdString();
    }
    if (!putPath(chosen, path)) return VAL_NO_FILE_SELECTED;
    return QFileInfo::exists(QString::fromLocal8Bit(chosen.c_str())) ? VAL_EXISTING_FILE_SELECTED
                                                                      : VAL_NEW_FILE_SELECTED;
}

namespace {

int showMessage(int kind, const char *title, const char *message) {
    const char *t = title ? title : "";
    const char *m = message ? message : "";
    if (g_popupObserver) g_popupObserver(kind, t, m);
    if (op_active()) {
        // Acknowledged by the scripted operator: an "answer ok" is used up if one is queued.
        std::string none;
        op_take_answer('o', &none);
        printf("popup: %s: %s\n", t, m);
        fflush(stdout);
        return 0;
    }
    QMessageBox box(QMessageBox::Information, QString::fromLocal8Bit(t), QString::fromLocal8Bit(m), QMessageBox::Ok,
                    QApplication::activeWindow());
    QTimer endWatch;
    rejectOnEndRequest(&box, &endWatch);
    box.exec();
    return 0;
}

}  // namespace

int MessagePopup(const char *title, const char *message) { return showMessage(REMINDER_NONE, title, message); }

int ReminderPopup(int kind, const char *title, const char *message) { return showMessage(kind, title, message); }

int ConfirmPopup(const char *title, const char *message) {
    const char *t = title ? title : "";
    const char *m = message ? message : "";
    if (g_popupObserver) g_popupObserver(REMINDER_NONE, t, m);
    if (op_active()) {
        // Answered by the scripted operator's next "answer ok" or "answer cancel"; without one,
        // the question is declined, which never destroys anything.
        std::string none;
        int a = op_take_answer('q', &none);
        printf("popup: %s: %s\nanswer: %s\n", t, m, a == 'o' ? "ok" : a == 'n' ? "cancel" : "cancel (none queued)");
        fflush(stdout);
        return a == 'o' ? 1 : 0;
    }
    if (EndRequestReceived()) return 0;
    QMessageBox box(QMessageBox::Question, QString::fromLocal8Bit(t), QString::fromLocal8Bit(m),
                    QMessageBox::Ok | QMessageBox::Cancel, QApplication::activeWindow());
    box.setDefaultButton(QMessageBox::Cancel);
    QTimer endWatch;
    rejectOnEndRequest(&box, &endWatch);
    return box.exec() == QMessageBox::Ok ? 1 : 0;
}

int SetWaitCursor(int on) {
    if (!qobject_cast<QApplication *>(QApplication::instance())) return 0;
    if (on && !g_waitCursor) QApplication::setOverrideCursor(Qt::WaitCursor);
    if (!on && g_waitCursor) QApplication::restoreOverrideCursor();
    g_waitCursor = on != 0;
    return 0;
}

void SetPopupObserver(PopupObserver fn) { g_popupObserver = fn; }
void SetRowDumper(RowDumper fn) { g_rowDumper = fn; }
