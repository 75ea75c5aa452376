// Stand-in for the loader class adapters ship: loads a class from the file
// paths it is given and makes an instance with the no-argument constructor.
package com.tarvel.util.classloader;

import java.io.File;
import java.net.MalformedURLException;
import java.net.URL;
import java.net.URLClassLoader;

public class FileURLAsStringClassLoader extends URLClassLoader {
    public FileURLAsStringClassLoader(String[] paths) throws MalformedURLException {
        super(toUrls(paths));
    }

    private static URL[] toUrls(String[] paths) throws MalformedURLException {
        URL[] urls = new URL[paths.length];
        for (int i = 0; i < paths.length; i++)
            urls[i] = new File(paths[i]).toURI().toURL();
        return urls;
    }

    public Object loadAndInstantiateClass(String name) throws Exception {
        return loadClass(name).getDeclaredConstructor().newInstance();
    }
}
