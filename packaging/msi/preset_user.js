// SERVICEUSER="First Last": whose guests the notifier shows, written into
// settings.conf (in the system's code page, as the notifier writes it) only
// when no user is saved there yet; a user's own choice is kept.
var path = Session.Property("INSTALLDIR") + "settings.conf";
var files = new ActiveXObject("Scripting.FileSystemObject");
var text = files.FileExists(path) && files.GetFile(path).Size > 0 ? files.OpenTextFile(path, 1).ReadAll() : "";
if (!/(^|\n)[ \t]*user[ \t]*=[ \t]*[^\s]/.test(text)) {
  var file = files.OpenTextFile(path, 8, true, 0);
  if (text && text.charAt(text.length - 1) != "\n") file.Write("\r\n");
  file.Write("user=" + Session.Property("SERVICEUSER") + "\r\n");
  file.Close();
}
