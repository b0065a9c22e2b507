#pragma once

#include <cstdint>

// The account operations of the main window: event handlers the application
// binds in its event-binding table. Each runs the portable flow of
// account_flows.h on the main window and the account server of the
// application-wide endpoint; each runs on the UI thread, the requests block
// that thread, and the page is disabled for as long as they run.

void on_sign_in_clicked();

// `countdown` is the get-code button's lock, kept by the caller between events.
void on_get_code_clicked(int32_t& countdown);
void on_code_timer_tick(int32_t& countdown);
// A code belongs to the address it was sent to.
void on_bind_email_changed();
void on_confirm_sign_up_clicked();

void on_confirm_change_clicked();
