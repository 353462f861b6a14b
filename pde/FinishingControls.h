// The Finishing panel's controls: layout, creation from the key set, synchronisation with the
// print settings in both directions, the control-hit handler and the summary.
#pragma once

#include "pde/FinishingContext.h"
#include "pde/PDEUtils.h"

enum : SInt32 { kFinishingControlBaseID = 6010 };
enum : SInt16 { kPopupMenuID = -12345 };

// Places the first control rectangle from the pane's bounds.
void PositionControl(ControlRef parentPane, Rect* rect);
// Makes the controls for one option and moves `rect` below them. Status of the last control call.
OSStatus CreateControlFromContext(ppd_file_t* ppd, Rect* rect, PMBundleRef bundle, SInt16* lastControlType,
                                  ControlRef parentPane, KeySetInfo* info, SInt32 controlID);
OSStatus EmbedAndShowControl(ControlRef control, ControlRef container);
// Direction 0 writes the controls into the print settings and the PPD marks; 1 sets the
// controls from the print settings and re-evaluates which menu items conflict.
OSStatus FinishingSync(FinishingContext* context, PMPrintSession session, Boolean direction);
// The control-hit handler: passes the event on, then writes all controls and reads them back.
OSStatus AllControlConstraintFixer(EventHandlerCallRef nextHandler, EventRef event, void* userData);
OSStatus FinishingGetSummaryText(FinishingContext* context, PMArrayRef* titles, PMArrayRef* summaries);

// The text shown for a PPD keyword: the bundle's translation, else the PPD's own text
// `fallback` (when given), else the keyword itself. New reference.
PMStringRef CopyDisplayText(PMBundleRef bundle, const char* keyword, PMStringRef fallback);
// The title of option `keyword`: the bundle's translation, else the PPD's text, else the keyword.
PMStringRef CopyOptionLabel(ppd_file_t* ppd, PMBundleRef bundle, const char* keyword);
