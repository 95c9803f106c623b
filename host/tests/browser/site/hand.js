// Patterns real pages use, for a hand that must act like a user's: a
// double-click editor, a cover over a button, a combobox that filters on
// key-up, a list that adds its item on change, dialogs, and a draft that
// asks before the page is left.
const $ = (id) => document.getElementById(id);
let counted = 0;
$("count").addEventListener("click", () => ($("counted").textContent = String(++counted)));
$("keys").addEventListener("keydown", (e) => ($("keyed").textContent += ` ${e.key}`));
$("item").addEventListener("dblclick", () => {
  const edit = document.createElement("input");
  edit.id = "editing";
  edit.value = $("item").textContent;
  $("item").replaceChildren(edit);
});
$("under").addEventListener("click", () => ($("under-result").textContent = "everything deleted"));
const fruits = ["apple", "apricot", "banana", "cherry"];
$("fruit").addEventListener("keyup", () => {
  const typed = $("fruit").value.toLowerCase();
  $("suggestions").replaceChildren(...fruits.filter((f) => typed && f.startsWith(typed)).map((f) => {
    const li = document.createElement("li");
    li.textContent = `suggestion ${f}`;
    return li;
  }));
});
$("todo").addEventListener("change", () => {
  const li = document.createElement("li");
  li.textContent = `todo ${$("todo").value}`;
  $("todos").append(li);
  $("todo").value = "";
});
$("alert").addEventListener("click", () => {
  alert("Saved");
  $("dialog-result").textContent = "alert closed";
});
$("confirm").addEventListener("click", () => {
  $("dialog-result").textContent = confirm("Delete the draft?") ? "draft deleted" : "draft kept";
});
$("prompt").addEventListener("click", () => {
  $("dialog-result").textContent = `renamed to ${prompt("New name?", "untitled")}`;
});
$("draft").addEventListener("input", () => {
  window.onbeforeunload = (e) => {
    e.preventDefault();
    e.returnValue = "";
  };
});
