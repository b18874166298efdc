// The module's two classes as their registration describes them: read by the class
// factories' registry updates and by the generator of the installer's registry rows and of
// the side-by-side manifest, so that the three cannot disagree.
#pragma once
#include "common/tarvel_ids.h"
#include "res/resource_ids.h"
#include "server/class_registration.h"

inline const ControlClassInfo kTarvelControlClass = {
    CLSID_Tarvel,    TARVEL_PROGID_CTRL,      IDS_TARVEL_CTRL,  IDB_TOOLBOX, true, TARVEL_CTRL_MISC_STATUS,
    LIBID_TarvelLib, TARVEL_LIB_MAJOR, TARVEL_LIB_MINOR};

struct PropertyPageClassInfo {
    CLSID clsid;
    UINT typeNameId;  // string resource: the user type name
};
inline const PropertyPageClassInfo kTarvelPageClass = {CLSID_TarvelPropPage, IDS_TARVEL_PPG};
