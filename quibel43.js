// Quibel32 4.3: the uninstall's last step (quibel43.inf runs it by wscript once it has deleted what it
// installed). It removes each folder named on its command line that is empty, so that what the user
// put there stays, with the folder that holds it; first it deletes itself, so that the folder it is
// kept in is empty too.
var files = new ActiveXObject("Scripting.FileSystemObject");
// The engine starts this in the kept folder, which cannot go while it is a current folder.
new ActiveXObject("WScript.Shell").CurrentDirectory = files.GetSpecialFolder(1).Path;
files.DeleteFile(WScript.ScriptFullName);
for (var i = 0; i < WScript.Arguments.length; i++) {
    var path = WScript.Arguments(i);
    // DeleteFolder takes a folder with all it holds: it is given only an empty one.
    try {
        var folder = files.GetFolder(path);
        if (folder.Files.Count == 0 && folder.SubFolders.Count == 0)
            files.DeleteFolder(path);
    } catch (e) {
        // not there, or held open: the next folder all the same
    }
}
