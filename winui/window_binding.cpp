#include "winui/window_binding.h"

namespace winui {

void BindWindow(Win32View& view, window::MainWindow& logic) {
    using window::ControlId;
    view.SetCloseGuard([&logic] { return logic.Form_QueryUnload(); });
    view.SetEventSink([&logic](ControlId id, ControlEvent event) {
        switch (id) {
        case ControlId::cboMpqFileName:
            if (event == ControlEvent::Click) {
                logic.cboMpqFileName_Click();
            }
            return;
        case ControlId::cboItemToModify:
            if (event == ControlEvent::Click) {
                logic.cboItemToModify_Click();
            } else if (event == ControlEvent::LostFocus) {
                logic.cboItemToModify_LostFocus();
            }
            return;
        case ControlId::btnBrowserForModificationDest:
            logic.btnBrowserForModificationDest_Click();
            return;
        case ControlId::btnDoModificationForGeneral:
            logic.btnDoModificationForGeneral_Click();
            return;
        case ControlId::btnDoModificationForLanGameName:
            logic.btnDoModificationForLanGameName_Click();
            return;
        case ControlId::btnDoModificationForMouse:
            logic.btnDoModificationForMouse_Click();
            return;
        case ControlId::btnCompressMpq:
            logic.btnCompressMpq_Click();
            return;
        default:
            return; // check boxes, option buttons and text boxes have no handlers: the buttons read them
        }
    });
}

} // namespace winui
