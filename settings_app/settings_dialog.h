// The settings dialog of DorimelServer.exe (template 130): shows what is
// installed, and on OK installs or removes the context-menu entry, registers or
// unregisters the browser module and writes DorimelDLM.ini. Windows side.
#pragma once

#include <string>

#include "settings_app/dialog_frame.h"

class SettingsDialog : public ModalDialog {
public:
    SettingsDialog();

    // Dialog state, exchanged with the controls.
    int contextMenuState = 0;  // check box 1000: 0 none, 1 installed, 2 partly
    int moduleState = 0;       // check box 1001: 0 none, 1 registered, 2 partly
    int takeOverMode = 0;      // radio 1002 (0) / 1003 (1): "DlIfReleased"
    int applicationMode = 0;   // radio 1009 (0) / 1010 (1): "AvailableApp"
    std::string applicationList;  // edit 1011, one name a line

protected:
    void exchangeData(DataExchange& exchange) override;
    void onInitDialog() override;
    void onCommand(int id, int code) override;
    void onOK() override;

private:
    void readState();
    void updateNamesEnabled();
    void applyContextMenu();
    void applyModuleRegistration();
    void writeSettingsFile();
    void showString(unsigned id, UINT icon);

    std::string folder_;        // program folder with a trailing backslash, or empty
    std::string settingsPath_;  // folder_ + "DorimelDLM.ini"
};
