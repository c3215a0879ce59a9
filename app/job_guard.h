#pragma once

#include <utility>
#include <vector>

#include <QAction>
#include <QCheckBox>
#include <QHeaderView>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QToolButton>
#include <QTreeWidget>

#include "app/files_page.h"
#include "app/main_window.h"
#include "app/rom_info_page.h"

namespace cartscope::app {

// Marks a long job as running for its lifetime: the controls that would disturb it are
// disabled and the handlers that cannot be disabled (drops, closing, list notifications) see
// the job and do nothing. At the end every control gets back the state it had before.
class TForm1::JobGuard {
public:
    JobGuard(TForm1& window, Job job) : m_window(window)
    {
        m_window.m_job = job;
        std::vector<QWidget*> controls{window.OpenRomSpeedButton};
        for (QWidget* w : window.RomInfoTabSheet->jobControls())
            controls.push_back(w);
        for (QWidget* w : controls) {
            m_widgets.emplace_back(w, w->isEnabled());
            w->setEnabled(false);
        }
        window.FSTabSheet->beginJob();
    }
    ~JobGuard()
    {
        for (const auto& [widget, enabled] : m_widgets) {
            if (widget)
                widget->setEnabled(enabled);
        }
        m_window.FSTabSheet->endJob();
        m_window.m_job = Job::None;
        // The load's read may have ended during the job.
        m_window.updateSaveInfoEnabled();
        // A close request that cancelled the job closes the window now it has stopped.
        if (m_window.m_closeAfterJob) {
            m_window.m_closeAfterJob = false;
            QMetaObject::invokeMethod(&m_window, &QWidget::close, Qt::QueuedConnection);
        }
    }
    JobGuard(const JobGuard&) = delete;
    JobGuard& operator=(const JobGuard&) = delete;

private:
    TForm1& m_window;
    std::vector<std::pair<QPointer<QWidget>, bool>> m_widgets;
};

} // namespace cartscope::app
