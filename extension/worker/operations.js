// Every operation the broker may ask for, with its handler and its guards.
// The dispatcher applies the guards, so no handler checks consent by hand:
//   session  the call must come from a session that holds this tab;
//   after    "recheck": the answer is refused if the grant ended while it
//            was made (it would show what the new page holds);
//            "follow": the call may navigate, and if the tab left the
//            grant the answer says so instead of showing the new page;
//            "none": nothing of a page is read after consent was checked;
//   content  the answer carries what the page wrote, and says so;
//   onDialog what answers the call while a page dialog is open in the tab;
//            without it the call is refused with what the dialog says.
import * as dialogs from "./ops/dialogs.js";
import * as input from "./ops/input.js";
import * as navigation from "./ops/navigation.js";
import * as reading from "./ops/reading.js";
import * as screenshot from "./ops/screenshot.js";
import * as tabs from "./ops/tabs.js";
import { pageDownload } from "./ops/download.js";
import { upload } from "./ops/upload.js";

const entry = (run, { session = true, after = "recheck", content = true, onDialog = null } = {}) =>
  Object.freeze({ run, session, after, content, onDialog });

export const OPERATIONS = Object.freeze({
  tab_list: entry(tabs.tabList, { session: false, after: "none" }),
  session_start: entry(tabs.sessionStart, { session: false, after: "none", content: false }),
  session_stop: entry(tabs.sessionStop, { session: false, after: "none", content: false }),
  page_snapshot: entry(reading.snapshot),
  page_text: entry(reading.text),
  page_frames: entry(reading.frames),
  page_navigate: entry(navigation.navigate, { after: "follow" }),
  page_back: entry(navigation.back, { after: "follow" }),
  page_forward: entry(navigation.forward, { after: "follow" }),
  page_reload: entry(navigation.reload, { after: "follow" }),
  page_click: entry(input.click, { after: "follow" }),
  page_press: entry(input.press, { after: "follow", onDialog: dialogs.press }),
  page_fill: entry(input.fill, { after: "follow", onDialog: dialogs.fill }),
  page_select: entry(input.select),
  page_scroll: entry(input.scroll),
  page_screenshot: entry(screenshot.screenshot, { content: false }),
  page_screenshot_read: entry(screenshot.screenshotRead, { content: false }),
  page_upload: entry(upload),
  page_download: entry(pageDownload),
});
