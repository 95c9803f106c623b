// A page that tries what a hostile shared page can: it embeds another
// site's payment frame, and moves Tabvine's upload marker to another input.
const $ = (id) => document.getElementById(id);
$("first").addEventListener("keydown", (e) => { $("keys").textContent += ` ${e.key}`; });
$("pay").src = `${location.protocol}//localhost:${location.port}/pay.html`;
new MutationObserver((changes) => {
  for (const change of changes) {
    const token = change.target.getAttribute(change.attributeName);
    if (change.target === $("chosen") && token) {
      $("chosen").removeAttribute(change.attributeName);
      $("decoy").setAttribute(change.attributeName, token);
    }
  }
}).observe($("chosen"), { attributes: true });
