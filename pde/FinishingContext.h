// The per-dialog state of the Finishing panel, made by Prologue and freed by Terminate.
#pragma once

#include "pde/CupsPPD.h"
#include "platform/printing/Bundle.h"
#include "platform/printing/PMTypes.h"
#include "platform/printing/PrintSession.h"
#include "platform/toolbox/Toolbox.h"

enum : SInt16 { kControlTypeCheckbox = 0, kControlTypePopup = 1 };

struct FinishingContext {
  ResFileRefNum theResFile;            // the bundle's opened resource map; -1 when not open
  ControlRef parentUserPane;           // the pane the dialog gives the panel
  PMStringEncoding encoding;           // text encoding for the panel
  PMBundleRef theBundleRef;            // the plug-in's own bundle (not owned)
  PMPrintSession printSession;         // the dialog's print session (not owned)
  EventHandlerUPP myControlHandler;    // installed on every control
  ppd_file_t* ppd;                     // the printer's PPD, owned by the printing system
  Rect currentContrlRect;              // where the next control goes
  SInt16 lastControlType;              // kind of the last control made
  PMMutableArrayRef PPDKeySetInfoRef;  // one KeySetInfo per finishing option shown
};

// Makes `refNum` the current resource map for the scope's life, then restores the previous one.
class PDE_UseResFile {
 public:
  explicit PDE_UseResFile(ResFileRefNum refNum) : saved_(CurResFile()) {
    if (refNum != -1) UseResFile(refNum);
  }
  ~PDE_UseResFile() { UseResFile(saved_); }
  PDE_UseResFile(const PDE_UseResFile&) = delete;
  PDE_UseResFile& operator=(const PDE_UseResFile&) = delete;

 private:
  ResFileRefNum saved_;
};
