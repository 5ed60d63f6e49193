// Refuses (REFUSED set, then the install ends with 1603) a SERVICEHOST that
// is not a host name or address alone, and a SERVICEKEY that is not 1 to 64
// letters and digits: the notifier would ignore the one and send the other
// unencoded. The reason is in REFUSED, which the install log shows.
var host = Session.Property("SERVICEHOST"), key = Session.Property("SERVICEKEY");
if (host && !/^[A-Za-z0-9]([A-Za-z0-9.-]{0,251}[A-Za-z0-9])?$/.test(host))
  Session.Property("REFUSED") = "SERVICEHOST=" + host + " is not a host name or address alone: give it without a scheme (http://), path or port";
else if (key && !/^[A-Za-z0-9]{1,64}$/.test(key))
  Session.Property("REFUSED") = "SERVICEKEY is not 1 to 64 letters and digits (the key in /etc/vestibra/notifier.key on the server)";
