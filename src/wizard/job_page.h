#pragma once
// The wizard's page of the update job: the free-space test runs first, as the page shows it; then the job
// (job/update_job.h) runs on a thread of its own (job_thread.h) while the page shows its progress bar, the name of
// the file being worked on and the buttons, the cursor, and boxes owned by the wizard. The job's outcome leaves the
// wizard on its next step or ends the dialog with -1 (failure or cancellation).
#include <windows.h>

// The job for Next on the confirmation page. 1 while it runs on: its end arrives as a message, and
// HandleJobMessage then leaves the wizard on its next step or ends it. 0 when it ended at once (the shortage page).
int StartJobPage(HWND dialog);

int IsJobMessage(UINT message);
INT_PTR HandleJobMessage(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Cancel (the button, Escape or the close box) while the job runs: a question, then the job stops and puts
// everything back. Nothing once the commit has begun.
void CancelRunningJob(HWND dialog);
