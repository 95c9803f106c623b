const $ = (id) => document.getElementById(id);
let inputs = 0;
let changes = 0;
function showEvents() {
  $("events").textContent = `name events: input ${inputs}, change ${changes}, value ${$("name").value}`;
}
$("name").addEventListener("input", () => { inputs++; showEvents(); });
$("name").addEventListener("change", () => { changes++; showEvents(); });
$("color").addEventListener("change", () => { document.body.dataset.color = $("color").value; });
$("send").addEventListener("click", () => {
  $("result").textContent = `Sent ${$("name").value} in ${$("color").value}`;
});
$("keys-field").addEventListener("keydown", (e) => { $("keys").textContent += ` ${e.key}`; });
$("scroller").addEventListener("scroll", () => {
  $("scrolled").textContent = `scrolled ${$("scroller").scrollTop}`;
});
$("file").addEventListener("change", async () => {
  const file = $("file").files[0];
  $("upload").textContent = file ? `uploaded ${file.name} (${file.size} bytes): ${await file.text()}` : "no upload";
});
// A frame from another site, which the user's grant for this one does not cover.
if (location.hostname === "127.0.0.1") {
  const foreign = document.createElement("iframe");
  foreign.title = "foreign frame";
  foreign.src = `${location.protocol}//localhost:${location.port}/frame.html`;
  document.body.append(foreign);
}
