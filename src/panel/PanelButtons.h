// What the front panel's five buttons call: the menu system implements it.
#pragma once

class PanelButtons {
public:
    virtual void setSelected(int direction) = 0;  // +1 Up, -1 Down
    virtual void pressOK() = 0;
    virtual void pressBack() = 0;
    virtual void pressHome() = 0;

protected:
    ~PanelButtons() = default;
};
