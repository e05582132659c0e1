// The one application object, constructed during static initialisation and
// found by the framework's main routine through AfxGetApp().
#include "app/SelfUpdateApp.h"

CSelfUpdateApp theApp;
