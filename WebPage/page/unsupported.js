// Runs only in browsers without JavaScript modules.
document.getElementById("notice").textContent =
  "This browser is too old to be a display: open this address in a current Chrome, Edge, Safari or Firefox.";
